// digisonde16c._core: the decoder's recording reader for Python. A recording
// is decoded into numpy arrays allocated once for it (sized from the file's
// length) and filled with the interpreter's lock released; the Python layer
// names the arrays and builds the dataset.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "python/module/recording_columns.h"

namespace py = pybind11;

namespace {

// Groups a stream (whose length is unknown) starts with; doubled as needed.
constexpr py::ssize_t kFirstStreamCapacity = 64;

std::vector<py::ssize_t> shape_of(Shape shape, py::ssize_t groups, int gates) {
  switch (shape) {
    case Shape::kChannel: return {groups, kColumnChannels};
    case Shape::kSample: return {groups, kColumnChannels, gates};
    case Shape::kGate: return {groups, gates};
    case Shape::kPosition: return {groups, kColumnChannels};
    case Shape::kDigit: return {groups, kColumnDigits};
    case Shape::kGroup: break;
  }
  return {groups};
}

// Items in one group's row.
py::ssize_t row_items(Shape shape, int gates) {
  const std::vector<py::ssize_t> dims = shape_of(shape, 1, gates);
  py::ssize_t items = 1;
  for (py::ssize_t d : dims) items *= d;
  return items;
}

// Gate runs in one group's row of a per-gate array.
int gate_runs(Shape shape) {
  if (shape == Shape::kSample) return kColumnChannels;
  if (shape == Shape::kGate) return 1;
  return 0;
}

// The arrays of a recording being decoded, `capacity` groups long, of which
// the first `count` are filled. `data` points into `arrays` so that the
// loop can fill them without the interpreter's lock.
struct Columns {
  py::ssize_t capacity = 0;
  py::ssize_t count = 0;
  int gates = kSmallGates;
  py::array arrays[kColumnCount];
  char* data[kColumnCount] = {};
  // Each group's message lines, joined by '\n', one after another.
  std::string messages;
  std::vector<size_t> message_ends;
};

// Gives every array room for `capacity` groups of `gates` gates, keeping the
// groups filled so far; new gates of filled groups are NaN. Needs the lock.
void reshape_columns(Columns* columns, py::ssize_t capacity, int gates) {
  for (int id = 0; id < kColumnCount; ++id) {
    const ColumnSpec& spec = kColumns[id];
    py::array fresh(py::dtype(spec.dtype), shape_of(spec.shape, capacity, gates));
    char* to = static_cast<char*>(fresh.mutable_data());
    const char* from = columns->data[id];
    const int runs = gate_runs(spec.shape);
    if (columns->count > 0 && runs > 0 && gates != columns->gates) {
      float* out = reinterpret_cast<float*>(to);
      const float* in = reinterpret_cast<const float*>(from);
      for (py::ssize_t run = 0; run < columns->count * runs; ++run) {
        std::copy(in, in + columns->gates, out);
        std::fill(out + columns->gates, out + gates, std::nanf(""));
        in += columns->gates;
        out += gates;
      }
    } else if (columns->count > 0) {
      const py::ssize_t row = fresh.itemsize() * row_items(spec.shape, gates);
      std::memcpy(to, from, static_cast<size_t>(row * columns->count));
    }
    columns->arrays[id] = fresh;
    columns->data[id] = to;
  }
  columns->capacity = capacity;
  columns->gates = gates;
}

// Appends the reader's current group as the next row; the arrays must have
// room for it and for its gates. Runs without the interpreter's lock.
void store_group(const RecordingReader& reader, Columns* columns) {
  store_group_row(reader, columns->data, columns->count, columns->gates, &columns->messages);
  columns->message_ends.push_back(columns->messages.size());
  ++columns->count;
}

// The filled groups as a dict of arrays, the messages as a list of str and
// the gate dimension. Arrays longer than the count are cut in place.
py::dict finish_columns(Columns* columns) {
  py::dict result;
  for (int id = 0; id < kColumnCount; ++id) {
    py::array& array = columns->arrays[id];
    if (columns->count != columns->capacity) {
      const std::vector<py::ssize_t> shape =
          shape_of(kColumns[id].shape, columns->count, columns->gates);
      py::tuple dims(shape.size());
      for (size_t d = 0; d < shape.size(); ++d) dims[d] = shape[d];
      array.attr("resize")(dims, py::arg("refcheck") = false);
    }
    result[kColumns[id].name] = array;
  }
  py::list messages(columns->count);
  size_t start = 0;
  for (py::ssize_t i = 0; i < columns->count; ++i) {
    const size_t end = columns->message_ends[static_cast<size_t>(i)];
    messages[static_cast<size_t>(i)] =
        py::str(columns->messages.data() + start, end - start);
    start = end;
  }
  result["messages"] = messages;
  result["gates"] = columns->gates;
  return result;
}

// Raises the OSError subclass that matches the errno, naming the file.
[[noreturn]] void raise_os_error(int error, const py::object& name) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
  throw py::error_already_set();
}

// The options of a decode, as checked by the Python layer.
struct DecodeOptions {
  bool select_frequency;
  float frequency;
  bool correct_phase;
};

// A reader that is closed and freed whatever way its owner ends.
class OpenRecording {
 public:
  OpenRecording(const std::string& path, const py::object& name,
                const DecodeOptions& options)
      : reader_(new_reader()) {
    const int error = open_reader(path.c_str(), options.select_frequency, options.frequency,
                                  options.correct_phase, reader_);
    if (error != 0) {
      delete_reader(reader_);
      raise_os_error(error, name);
    }
    open_ = true;
  }
  ~OpenRecording() {
    close();
    delete_reader(reader_);
  }
  OpenRecording(const OpenRecording&) = delete;
  OpenRecording& operator=(const OpenRecording&) = delete;

  RecordingReader* reader() { return reader_; }
  bool is_open() const { return open_; }
  void close() {
    if (open_) close_reader(reader_);
    open_ = false;
  }

 private:
  RecordingReader* reader_;
  bool open_ = false;
};

// Gate dimension for a group of `gate_count` gates in a dataset of `gates`.
int gates_for(int gate_count, int gates) {
  return gate_count > gates ? kLargeGates : gates;
}

py::dict decode_recording(const std::string& path, const py::object& name,
                          bool select_frequency, float frequency, bool correct_phase) {
  OpenRecording recording(path, name, {select_frequency, frequency, correct_phase});
  RecordingReader* reader = recording.reader();
  Columns columns;
  reshape_columns(&columns, static_cast<py::ssize_t>(reader_file_blocks(*reader)),
                  kSmallGates);
  {
    py::gil_scoped_release release;
    while (read_next_group(reader)) {
      const int gates = gates_for(reader_gate_count(*reader), columns.gates);
      if (columns.count == columns.capacity || gates != columns.gates) {
        // Only a stream, a file that grew, or the first 256-gate group
        // comes here.
        py::ssize_t capacity = columns.capacity;
        if (columns.count == capacity) capacity = std::max(kFirstStreamCapacity, 2 * capacity);
        py::gil_scoped_acquire acquire;
        reshape_columns(&columns, capacity, gates);
      }
      store_group(*reader, &columns);
    }
  }
  const int read_error = reader_read_error(*reader);
  recording.close();
  if (read_error != 0) raise_os_error(read_error, name);
  return finish_columns(&columns);
}

// The groups of a recording one at a time, each as the arrays of a
// one-group recording.
class GroupIterator {
 public:
  GroupIterator(const std::string& path, const py::object& name, bool select_frequency,
                float frequency, bool correct_phase)
      : recording_(path, name, {select_frequency, frequency, correct_phase}), name_(name) {}

  py::dict next() {
    if (!recording_.is_open()) throw py::stop_iteration();
    RecordingReader* reader = recording_.reader();
    bool ready;
    {
      py::gil_scoped_release release;
      ready = read_next_group(reader);
    }
    if (!ready) {
      const int read_error = reader_read_error(*reader);
      recording_.close();
      if (read_error != 0) raise_os_error(read_error, name_);
      throw py::stop_iteration();
    }
    Columns columns;
    reshape_columns(&columns, 1, gates_for(reader_gate_count(*reader), kSmallGates));
    store_group(*reader, &columns);
    return finish_columns(&columns);
  }

  void close() { recording_.close(); }

 private:
  OpenRecording recording_;
  py::object name_;
};

}  // namespace

PYBIND11_MODULE(_core, module) {
  module.doc() = "The 16C decoder's recording reader, filling numpy arrays.";
  module.attr("__version__") = DIGISONDE16C_VERSION;
  module.def("decode_recording", &decode_recording, py::arg("path"), py::arg("name"),
             py::arg("select_frequency"), py::arg("frequency"), py::arg("correct_phase"),
             "Every accepted group of the recording at `path` (bytes) as arrays; "
             "`name` is the file name that errors carry.");
  py::class_<GroupIterator>(module, "GroupIterator")
      .def(py::init<const std::string&, const py::object&, bool, float, bool>(),
           py::arg("path"), py::arg("name"), py::arg("select_frequency"),
           py::arg("frequency"), py::arg("correct_phase"))
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &GroupIterator::next)
      .def("close", &GroupIterator::close);
}
