// digisonde16c._core: the decoder's recording reader for Python. A recording
// is decoded into numpy arrays allocated once for it (sized from the file's
// length) and filled with the interpreter's lock released, a large file in
// shares of its blocks on several threads; the Python layer names the
// arrays and builds the dataset.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "decoder/command_line.h"
#include "decoder/group_reader.h"
#include "decoder/recording_reader.h"
#include "python/module/recording_columns.h"

namespace py = pybind11;

// Inside the decoder's namespace its names come before the interpreter's
// global ones (such as Python's `digit` type).
namespace digisonde16c {

namespace {

// Rows a stream (whose length is unknown) starts with; doubled as needed.
constexpr py::ssize_t kFirstStreamCapacity = 64;
// A recording is decoded on one thread per this many blocks (1 MiB), up to
// the machine's cores and kMaxShares.
constexpr long long kBlocksPerShare = 256;
constexpr unsigned kMaxShares = 8;

// Arrays of this many bytes or more are made in a mapping of their own, of
// whole 2 MiB pages that the kernel may back with huge pages, and smaller
// ones that together take at least kSharedBytes share one such mapping: a
// fresh array then takes a few page faults instead of one per 4 KiB page
// (where a fault costs more than decoding the page's samples), and freeing
// it returns its memory at once, so that the allocator's heaps keep only
// small arrays. Dask tasks that decode and reduce one chunk after another
// on several threads otherwise see those heaps trimmed and every temporary
// of numpy's reductions faulted in again, page by page.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMappedArrayBytes = kHugePage;
constexpr size_t kSharedBytes = 256 << 10;
constexpr size_t kPage = 4096;
// Where each array starts in a shared mapping: a multiple of a cache line.
constexpr size_t kArrayAlignment = 64;

size_t round_up(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

// The memory of a mapping, released with the last array over it.
struct Mapping {
  char* start;
  size_t size;
};

// Unmaps `size` bytes at `start`. In a sanitizer build the bytes that no
// array holds are poisoned (see map_pages); their marks go first, so that
// a later mapping at the same place starts clean.
void unmap(char* start, size_t size) {
  ASAN_UNPOISON_MEMORY_REGION(start, size);
  munmap(start, size);
}

void release_mapping(void* pointer) {
  Mapping* mapping = static_cast<Mapping*>(pointer);
  unmap(mapping->start, mapping->size);
  delete mapping;
}

// A private mapping of `bytes` rounded up to whole huge pages, starting on
// a huge page boundary, as the capsule that unmaps it when the last array
// over it goes (`mapping` is set to it). Needs the lock; raises MemoryError
// when no memory is left.
py::capsule map_pages(size_t bytes, Mapping** mapping) {
  const size_t size = round_up(std::max<size_t>(bytes, 1), kHugePage);
  // One huge page more than needed, so that the mapping can start on a
  // huge page boundary; the rest is unmapped at once.
  void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* base = static_cast<char*>(raw);
  char* start = base + (round_up(reinterpret_cast<uintptr_t>(base), kHugePage) -
                        reinterpret_cast<uintptr_t>(base));
  if (start != base) munmap(base, static_cast<size_t>(start - base));
  munmap(start + size, static_cast<size_t>(base + kHugePage - start));
#ifdef MADV_HUGEPAGE
  madvise(start, size, MADV_HUGEPAGE);
#endif
  // In a sanitizer build, a write past an array into the rest of the
  // mapping is caught as it would be past numpy's memory: only the arrays
  // placed in it are unpoisoned.
  ASAN_POISON_MEMORY_REGION(start, size);
  Mapping* owned = new Mapping{start, size};
  try {
    py::capsule owner(owned, release_mapping);
    *mapping = owned;
    return owner;
  } catch (...) {
    release_mapping(owned);
    throw;
  }
}

std::vector<py::ssize_t> shape_of(Shape shape, py::ssize_t rows, int gates) {
  switch (shape) {
    case Shape::kChannel: return {rows, kChannels};
    case Shape::kSample: return {rows, kChannels, gates};
    case Shape::kGate: return {rows, gates};
    case Shape::kPosition: return {rows, kChannels};
    case Shape::kDigit: return {rows, kPrefaceDigits};
    case Shape::kGroup: break;
  }
  return {rows};
}

// Items in one row.
py::ssize_t row_items(Shape shape, int gates) {
  py::ssize_t items = 1;
  for (py::ssize_t d : shape_of(shape, 1, gates)) items *= d;
  return items;
}

// Gate runs in one row of a per-gate array.
int gate_runs(Shape shape) {
  if (shape == Shape::kSample) return kChannels;
  if (shape == Shape::kGate) return 1;
  return 0;
}

// Where each array of a decode lives: a mapping of its own, one shared
// with the other small arrays, or numpy's memory.
enum class Storage { kNumpy, kOwnMapping, kSharedMapping };

// Fresh arrays for every column, rows[id] rows of `gates` gates, their
// items not yet set, and where each lives (mappings[id]: its own mapping,
// or nullptr). Needs the lock.
void new_columns(const py::ssize_t* rows, int gates, py::array* arrays, Storage* storage,
                 Mapping** mappings) {
  size_t bytes[kColumnCount];
  size_t shared_bytes = 0;
  for (int id = 0; id < kColumnCount; ++id) {
    bytes[id] = static_cast<size_t>(py::dtype(kColumns[id].dtype).itemsize() *
                                    row_items(kColumns[id].shape, gates) * rows[id]);
    if (bytes[id] < kMappedArrayBytes) shared_bytes += round_up(bytes[id], kArrayAlignment);
  }
  py::capsule shared_owner;
  char* next = nullptr;
  if (shared_bytes >= kSharedBytes) {
    Mapping* shared;
    shared_owner = map_pages(shared_bytes, &shared);
    next = shared->start;
  }
  for (int id = 0; id < kColumnCount; ++id) {
    const py::dtype type(kColumns[id].dtype);
    const std::vector<py::ssize_t> shape = shape_of(kColumns[id].shape, rows[id], gates);
    mappings[id] = nullptr;
    if (bytes[id] >= kMappedArrayBytes) {
      const py::capsule owner = map_pages(bytes[id], &mappings[id]);
      ASAN_UNPOISON_MEMORY_REGION(mappings[id]->start, bytes[id]);
      arrays[id] = py::array(type, shape, mappings[id]->start, owner);
      storage[id] = Storage::kOwnMapping;
    } else if (next != nullptr) {
      ASAN_UNPOISON_MEMORY_REGION(next, bytes[id]);
      arrays[id] = py::array(type, shape, next, shared_owner);
      next += round_up(bytes[id], kArrayAlignment);
      storage[id] = Storage::kSharedMapping;
    } else {
      arrays[id] = py::array(type, shape);
      storage[id] = Storage::kNumpy;
    }
  }
}

// The arrays of a recording being decoded: `capacity` rows of `gates`
// gates. `data` points into `arrays`, so that threads without the
// interpreter's lock can fill rows.
struct Columns {
  py::ssize_t capacity = 0;
  int gates = kSmallGates;
  py::array arrays[kColumnCount];
  Storage storage[kColumnCount] = {};
  Mapping* mappings[kColumnCount] = {};
  char* data[kColumnCount] = {};
};

// Gives every array room for `capacity` rows of `gates` gates, keeping rows
// 0 to kept - 1; gates added to kept rows are NaN. Needs the lock.
void reshape_columns(Columns* columns, py::ssize_t capacity, int gates, py::ssize_t kept) {
  py::ssize_t rows[kColumnCount];
  std::fill(rows, rows + kColumnCount, capacity);
  py::array fresh_arrays[kColumnCount];
  new_columns(rows, gates, fresh_arrays, columns->storage, columns->mappings);
  for (int id = 0; id < kColumnCount; ++id) {
    const ColumnSpec& column = kColumns[id];
    py::array& fresh = fresh_arrays[id];
    char* to = static_cast<char*>(fresh.mutable_data());
    const char* from = columns->data[id];
    const int runs = gate_runs(column.shape);
    if (kept > 0 && runs > 0 && gates != columns->gates) {
      float* out = reinterpret_cast<float*>(to);
      const float* in = reinterpret_cast<const float*>(from);
      for (py::ssize_t run = 0; run < kept * runs; ++run) {
        std::copy(in, in + columns->gates, out);
        std::fill(out + columns->gates, out + gates, std::nanf(""));
        in += columns->gates;
        out += gates;
      }
    } else if (kept > 0) {
      const py::ssize_t row = fresh.itemsize() * row_items(column.shape, gates);
      std::memcpy(to, from, static_cast<size_t>(row * kept));
    }
    columns->arrays[id] = fresh;
    columns->data[id] = to;
  }
  columns->capacity = capacity;
  columns->gates = gates;
}

// Moves `rows` rows from row `from` to row `to` in every array.
void move_rows(Columns* columns, py::ssize_t from, py::ssize_t to, py::ssize_t rows) {
  for (int id = 0; id < kColumnCount; ++id) {
    const size_t row = static_cast<size_t>(columns->arrays[id].itemsize() *
                                           row_items(kColumns[id].shape, columns->gates));
    std::memmove(columns->data[id] + to * row, columns->data[id] + from * row,
                 row * static_cast<size_t>(rows));
  }
}

// The messages of each row: row i's text runs from the end of row i - 1's
// (0 for the first) to message_ends[i].
py::list message_texts(py::ssize_t rows, const std::string& messages,
                       const std::vector<size_t>& message_ends) {
  py::list texts(rows);
  size_t start = 0;
  for (py::ssize_t i = 0; i < rows; ++i) {
    const size_t end = message_ends[static_cast<size_t>(i)];
    texts[static_cast<size_t>(i)] = py::str(messages.data() + start, end - start);
    start = end;
  }
  return texts;
}

// The first `rows` rows as a dict of arrays (longer arrays are cut in
// place), with the messages as a list of str and the gate dimension.
py::dict finish_columns(Columns* columns, py::ssize_t rows, const std::string& messages,
                        const std::vector<size_t>& message_ends) {
  py::dict result;
  for (int id = 0; id < kColumnCount; ++id) {
    py::array& array = columns->arrays[id];
    const Storage storage = columns->storage[id];
    if (rows != columns->capacity && storage == Storage::kOwnMapping) {
      // The pages after the rows are returned.
      Mapping* mapping = columns->mappings[id];
      const size_t keep = round_up(
          std::max<size_t>(1, static_cast<size_t>(array.strides(0) * rows)), kPage);
      if (keep < mapping->size) {
        unmap(mapping->start + keep, mapping->size - keep);
        mapping->size = keep;
      }
      array = array[py::slice(0, rows, 1)].cast<py::array>();
    } else if (rows != columns->capacity && storage == Storage::kSharedMapping) {
      // A copy, so that the shared mapping goes with the longer arrays.
      array = array[py::slice(0, rows, 1)].attr("copy")().cast<py::array>();
    } else if (rows != columns->capacity) {
      const std::vector<py::ssize_t> shape = shape_of(kColumns[id].shape, rows, columns->gates);
      py::tuple dims(shape.size());
      for (size_t d = 0; d < shape.size(); ++d) dims[d] = shape[d];
      array.attr("resize")(dims, py::arg("refcheck") = false);
    }
    result[kColumns[id].name] = array;
  }
  result["messages"] = message_texts(rows, messages, message_ends);
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
  bool decode_samples = true;  // false: the group headers alone, for an index
  bool measure_noise = true;   // false: the noise level is left unset
};

// A reader that is closed and freed whatever way its owner ends.
class OpenRecording {
 public:
  OpenRecording(const std::string& path, const py::object& name,
                const DecodeOptions& options)
      : reader_(new RecordingReader) {
    const RecordingOptions walk_options{options.select_frequency, options.frequency,
                                        options.correct_phase, options.decode_samples,
                                        options.decode_samples && options.measure_noise};
    const int error = open_recording(path.c_str(), walk_options, reader_.get());
    if (error != 0) raise_os_error(error, name);
    open_ = true;
  }
  ~OpenRecording() { close(); }
  OpenRecording(const OpenRecording&) = delete;
  OpenRecording& operator=(const OpenRecording&) = delete;

  RecordingReader* reader() { return reader_.get(); }
  bool is_open() const { return open_; }
  void close() {
    if (open_) close_recording(reader_.get());
    open_ = false;
  }

 private:
  std::unique_ptr<RecordingReader> reader_;
  bool open_ = false;
};

// Gate dimension for a group of `gate_count` gates in arrays of `gates`.
int gates_for(int gate_count, int gates) { return gate_count > gates ? kMaxGates : gates; }

// One share of a recording's blocks, read by its own reader and laid into
// rows from first_row on. Shares cover consecutive blocks and each starts
// at the row of its first block, so their rows never overlap.
struct Share {
  std::unique_ptr<OpenRecording> recording;
  py::ssize_t first_row = 0;
  py::ssize_t next_row = 0;
  std::string messages;  // its groups' lines, joined by '\n', one after another
  std::vector<size_t> message_ends;
  bool waiting = false;  // its reader holds a group that needs more rows or gates
  bool finished = false;
  std::exception_ptr failure;
};

// Lays the share's groups into the columns until the share ends or a group
// needs longer or wider arrays, which the caller then makes. Runs without
// the interpreter's lock.
void decode_share(Share* share, const Columns& columns) {
  RecordingReader* reader = share->recording->reader();
  try {
    for (;;) {
      if (!share->waiting && !next_group(&reader->walk)) {
        share->finished = true;
        return;
      }
      share->waiting = reader->walk.group.gate_count > columns.gates ||
                       share->next_row == columns.capacity;
      if (share->waiting) return;
      store_group_row(*reader, columns.data, share->next_row, columns.gates,
                      &share->messages);
      share->message_ends.push_back(share->messages.size());
      ++share->next_row;
    }
  } catch (...) {
    share->failure = std::current_exception();
    share->finished = true;
  }
}

// Shares for a recording of `blocks` blocks (0 for a stream): `asked`, or
// by the recording's size and the machine's cores when 0; at most one per
// block.
long long share_count(long long blocks, int asked) {
  long long count = asked;
  if (count <= 0) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    count = std::min<long long>({cores, kMaxShares, blocks / kBlocksPerShare});
  }
  return std::max(1LL, std::min(count, blocks));
}

py::dict decode_recording(const std::string& path, const py::object& name,
                          bool select_frequency, float frequency, bool correct_phase,
                          int shares_asked) {
  const DecodeOptions options{select_frequency, frequency, correct_phase};
  auto first = std::make_unique<OpenRecording>(path, name, options);
  const long long blocks = first->reader()->file_blocks;
  std::vector<Share> shares(static_cast<size_t>(share_count(blocks, shares_asked)));
  const long long count = static_cast<long long>(shares.size());
  for (long long k = 0; k < count; ++k) {
    Share& share = shares[static_cast<size_t>(k)];
    share.recording = k == 0 ? std::move(first)
                             : std::make_unique<OpenRecording>(path, name, options);
    // The last share reads on to the end, also past a file that grew.
    const long long first_block = k * blocks / count + 1;
    const long long last_block = k + 1 == count ? 0 : (k + 1) * blocks / count;
    set_block_range(share.recording->reader(), first_block, last_block);
    share.first_row = share.next_row = first_block - 1;
  }

  Columns columns;
  reshape_columns(&columns, static_cast<py::ssize_t>(blocks), kSmallGates, 0);
  for (;;) {
    {
      // The first unfinished share on this thread, each other on its own.
      py::gil_scoped_release release;
      std::vector<std::thread> threads;
      Share* own = nullptr;
      for (Share& share : shares) {
        if (share.finished) continue;
        if (own == nullptr) {
          own = &share;
          continue;
        }
        try {
          threads.emplace_back(decode_share, &share, std::cref(columns));
        } catch (const std::system_error&) {
          decode_share(&share, columns);
        }
      }
      if (own != nullptr) decode_share(own, columns);
      for (std::thread& thread : threads) thread.join();
    }
    // Only a stream, a file that grew, or the first 256-gate group stops a
    // share before its end.
    py::ssize_t capacity = columns.capacity;
    int gates = columns.gates;
    py::ssize_t used = 0;
    for (Share& share : shares) {
      if (share.failure) std::rethrow_exception(share.failure);
      used = std::max(used, share.next_row);
      if (!share.waiting) continue;
      gates = gates_for(share.recording->reader()->walk.group.gate_count, gates);
      if (share.next_row == capacity) capacity = std::max(kFirstStreamCapacity, 2 * capacity);
    }
    if (capacity == columns.capacity && gates == columns.gates) break;
    reshape_columns(&columns, capacity, gates, used);
  }

  // The shares' rows one after another, and their messages.
  py::ssize_t rows = 0;
  std::string messages;
  std::vector<size_t> message_ends;
  for (Share& share : shares) {
    const int read_error = share.recording->reader()->blocks.read_error;
    share.recording->close();
    if (read_error != 0) raise_os_error(read_error, name);
    const py::ssize_t filled = share.next_row - share.first_row;
    if (share.first_row != rows) move_rows(&columns, share.first_row, rows, filled);
    rows += filled;
    for (size_t end : share.message_ends) message_ends.push_back(messages.size() + end);
    messages += share.messages;
  }
  return finish_columns(&columns, rows, messages, message_ends);
}

// The index entries of the groups in one share of a recording's blocks.
struct IndexShare {
  std::unique_ptr<OpenRecording> recording;
  std::vector<int64_t> blocks, times;
  std::vector<int32_t> gate_counts;
  std::vector<float> frequencies;
  std::exception_ptr failure;
};

// Reads the share's group headers into its entries. Runs without the
// interpreter's lock.
void index_share(IndexShare* share) {
  RecordingReader* reader = share->recording->reader();
  try {
    while (next_group(&reader->walk)) {
      const GroupRecord& group = reader->walk.group;
      share->blocks.push_back(reader->walk.block_number);
      share->times.push_back(group_time_value(group));
      share->gate_counts.push_back(group.gate_count);
      share->frequencies.push_back(group.frequency);
    }
  } catch (...) {
    share->failure = std::current_exception();
  }
}

// The share's entries of one kind after those of the shares before it.
template <typename T>
py::array_t<T> joined(const std::vector<IndexShare>& shares,
                      std::vector<T> IndexShare::*entries) {
  size_t count = 0;
  for (const IndexShare& share : shares) count += (share.*entries).size();
  py::array_t<T> result(static_cast<py::ssize_t>(count));
  T* out = result.mutable_data();
  for (const IndexShare& share : shares) {
    out = std::copy((share.*entries).begin(), (share.*entries).end(), out);
  }
  return result;
}

// The index of a recording: for every group the selection accepts, its
// block number, gate count, frequency and time, read from the group headers
// alone (no sample is decoded); a large file in shares of its blocks on
// several threads, as decode_recording reads it.
py::dict index_recording(const std::string& path, const py::object& name,
                         bool select_frequency, float frequency) {
  const DecodeOptions options{select_frequency, frequency, false, false};
  auto first = std::make_unique<OpenRecording>(path, name, options);
  const long long blocks = first->reader()->file_blocks;
  std::vector<IndexShare> shares(static_cast<size_t>(share_count(blocks, 0)));
  const long long count = static_cast<long long>(shares.size());
  for (long long k = 0; k < count; ++k) {
    IndexShare& share = shares[static_cast<size_t>(k)];
    share.recording = k == 0 ? std::move(first)
                             : std::make_unique<OpenRecording>(path, name, options);
    // The last share reads on to the end, also past a file that grew.
    set_block_range(share.recording->reader(), k * blocks / count + 1,
                    k + 1 == count ? 0 : (k + 1) * blocks / count);
  }
  {
    py::gil_scoped_release release;
    std::vector<std::thread> threads;
    for (size_t k = 1; k < shares.size(); ++k) {
      try {
        threads.emplace_back(index_share, &shares[k]);
      } catch (const std::system_error&) {
        index_share(&shares[k]);
      }
    }
    index_share(&shares[0]);
    for (std::thread& thread : threads) thread.join();
  }
  for (IndexShare& share : shares) {
    if (share.failure) std::rethrow_exception(share.failure);
    const int read_error = share.recording->reader()->blocks.read_error;
    share.recording->close();
    if (read_error != 0) raise_os_error(read_error, name);
  }
  py::dict index;
  index["block"] = joined(shares, &IndexShare::blocks);
  index["time"] = joined(shares, &IndexShare::times).attr("view")("datetime64[ns]");
  index["gate_count"] = joined(shares, &IndexShare::gate_counts);
  index["frequency"] = joined(shares, &IndexShare::frequencies);
  return index;
}

// The groups in the block ranges [first_blocks[k], last_blocks[k]], one
// range after another, as the arrays of decode_recording with `rows` rows
// of `gates` gates: the groups an index found there. Only the arrays named
// in `wanted` are made (all when it is empty); the others' values go to a
// row of scratch, so that a selection of a few variables fills and faults
// in no more memory than they take. A range that holds other groups than
// the index says (the file changed) raises RuntimeError.
py::dict decode_block_ranges(const std::string& path, const py::object& name,
                             bool select_frequency, float frequency, bool correct_phase,
                             const std::vector<int64_t>& first_blocks,
                             const std::vector<int64_t>& last_blocks, py::ssize_t rows,
                             int gates, const std::vector<std::string>& wanted) {
  if (first_blocks.size() != last_blocks.size()) {
    throw py::value_error("first_blocks and last_blocks differ in length");
  }
  // The noise level is measured only when it is asked for.
  const bool measure_noise =
      wanted.empty() || std::find(wanted.begin(), wanted.end(), "noise_level") != wanted.end();
  OpenRecording recording(path, name,
                          {select_frequency, frequency, correct_phase, true, measure_noise});
  RecordingReader* reader = recording.reader();
  py::array arrays[kColumnCount];
  char* base[kColumnCount];
  size_t row_bytes[kColumnCount];
  bool kept[kColumnCount];
  py::ssize_t column_rows[kColumnCount];
  for (int id = 0; id < kColumnCount; ++id) {
    kept[id] = wanted.empty() ||
               std::find(wanted.begin(), wanted.end(), kColumns[id].name) != wanted.end();
    column_rows[id] = kept[id] ? rows : 1;
  }
  Storage storage[kColumnCount];
  Mapping* mappings[kColumnCount];
  new_columns(column_rows, gates, arrays, storage, mappings);
  for (int id = 0; id < kColumnCount; ++id) {
    const ColumnSpec& column = kColumns[id];
    base[id] = static_cast<char*>(arrays[id].mutable_data());
    row_bytes[id] = static_cast<size_t>(arrays[id].itemsize() * row_items(column.shape, gates));
  }
  std::string messages;
  std::vector<size_t> message_ends;
  py::ssize_t row = 0;
  bool changed = false;
  {
    py::gil_scoped_release release;
    message_ends.reserve(static_cast<size_t>(rows));
    char* row_data[kColumnCount];
    for (size_t k = 0; k < first_blocks.size() && !changed; ++k) {
      set_block_range(reader, first_blocks[k], last_blocks[k]);
      while (next_group(&reader->walk)) {
        changed = row == rows || reader->walk.group.gate_count > gates;
        if (changed) break;
        for (int id = 0; id < kColumnCount; ++id) {
          row_data[id] = kept[id] ? base[id] + static_cast<size_t>(row) * row_bytes[id]
                                  : base[id];
        }
        store_group_row(*reader, row_data, 0, gates, &messages);
        message_ends.push_back(messages.size());
        ++row;
      }
    }
  }
  const int read_error = reader->blocks.read_error;
  recording.close();
  if (read_error != 0) raise_os_error(read_error, name);
  if (changed || row != rows) {
    throw std::runtime_error(py::str(name).cast<std::string>() +
                             ": the recording changed after it was opened");
  }
  py::dict result;
  for (int id = 0; id < kColumnCount; ++id) {
    if (kept[id]) result[kColumns[id].name] = arrays[id];
  }
  if (wanted.empty() || std::find(wanted.begin(), wanted.end(), "messages") != wanted.end()) {
    result["messages"] = message_texts(rows, messages, message_ends);
  }
  result["gates"] = gates;
  return result;
}

// `values` as 16-bit counts of `scale` that give every value back bit for
// bit (NaN as `fill`), in one pass without branches, which the compiler
// runs on several values at once; None when a value is no such count.
// The step and offset of each group's amplitude codes (amplitude = step *
// code + offset), from its preface digits (groups x 57), as the decoder
// scales them: the products that must know a sample's code read it here.
py::tuple amplitude_scales(const py::array_t<uint8_t, py::array::c_style>& prefaces) {
  if (prefaces.ndim() != 2 || prefaces.shape(1) != kPrefaceDigits) {
    throw std::invalid_argument("prefaces must be an array of groups x 57 digits");
  }
  const py::ssize_t count = prefaces.shape(0);
  py::array_t<float> steps(count), offsets(count);
  const uint8_t* preface = prefaces.data();
  float* step = steps.mutable_data();
  float* offset = offsets.mutable_data();
  for (py::ssize_t i = 0; i < count; ++i) {
    const CodeScale scale = amplitude_code_scale(preface + i * kPrefaceDigits);
    step[i] = scale.step;
    offset[i] = scale.offset;
  }
  return py::make_tuple(steps, offsets);
}

py::object pack_exact(const py::array_t<float, py::array::c_style>& values, float scale,
                      int16_t fill) {
  py::array_t<int16_t> packed(values.request().shape);
  const float* in = values.data();
  int16_t* out = packed.mutable_data();
  const py::ssize_t count = values.size();
  // Added and taken away, it rounds a float below 2^22 to the nearest
  // whole number (ties to even).
  constexpr float kRound = 12582912.0f;  // 1.5 * 2^23
  uint32_t inexact = 0;
  {
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < count; ++i) {
      const float value = in[i];
      const bool missing = std::isnan(value);
      float steps = (value / scale + kRound) - kRound;
      const bool held = std::fabs(steps) <= 32767.0f;  // false for NaN
      steps = held ? steps : 0.0f;
      const int16_t counted = static_cast<int16_t>(static_cast<int32_t>(steps));
      // As a reader scales the count back (a negative zero comes back
      // positive).
      const float back = static_cast<float>(counted) * scale;
      uint32_t back_bits, value_bits;
      std::memcpy(&back_bits, &back, sizeof back);
      std::memcpy(&value_bits, &value, sizeof value);
      inexact |= static_cast<uint32_t>(!missing) &
                 static_cast<uint32_t>(!held || back_bits != value_bits || counted == fill);
      out[i] = missing ? fill : counted;
    }
  }
  if (inexact != 0) return py::none();
  return std::move(packed);
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
      ready = next_group(&reader->walk);
    }
    if (!ready) {
      const int read_error = reader->blocks.read_error;
      recording_.close();
      if (read_error != 0) raise_os_error(read_error, name_);
      throw py::stop_iteration();
    }
    Columns columns;
    reshape_columns(&columns, 1, gates_for(reader->walk.group.gate_count, kSmallGates), 0);
    std::string messages;
    store_group_row(*reader, columns.data, 0, columns.gates, &messages);
    return finish_columns(&columns, 1, messages, {messages.size()});
  }

  void close() { recording_.close(); }

 private:
  OpenRecording recording_;
  py::object name_;
};

}  // namespace

}  // namespace digisonde16c

PYBIND11_MODULE(_core, module) {
  using digisonde16c::GroupIterator;
  module.doc() = "The 16C decoder's recording reader, filling numpy arrays.";
  module.attr("__version__") = DIGISONDE16C_VERSION;
  module.def("decode_recording", &digisonde16c::decode_recording, py::arg("path"), py::arg("name"),
             py::arg("select_frequency"), py::arg("frequency"), py::arg("correct_phase"),
             py::arg("shares") = 0,
             "Every accepted group of the recording at `path` (bytes) as arrays; "
             "`name` is the file name that errors carry. The blocks are decoded in "
             "`shares` parts on as many threads (0: by size and cores).");
  module.def(
      "read_real",
      [](const std::string& text) -> py::object {
        // tolvek's reading of an option value: the decimal text rounded once
        // to single precision.
        if (text.size() >= digisonde16c::kArgumentField) return py::none();
        float value;
        if (!digisonde16c::read_real_value(text.c_str(), &value)) return py::none();
        return py::float_(value);
      },
      py::arg("text"),
      "The number in `text` as tolvek reads the value of -f, or None when "
      "it reads none.");
  module.def("index_recording", &digisonde16c::index_recording, py::arg("path"),
             py::arg("name"), py::arg("select_frequency"), py::arg("frequency"),
             "The block number, gate count, frequency and time of every accepted "
             "group of the recording at `path`, from the group headers alone.");
  module.def("decode_block_ranges", &digisonde16c::decode_block_ranges, py::arg("path"),
             py::arg("name"), py::arg("select_frequency"), py::arg("frequency"),
             py::arg("correct_phase"), py::arg("first_blocks"), py::arg("last_blocks"),
             py::arg("rows"), py::arg("gates"), py::arg("wanted") = std::vector<std::string>(),
             "The accepted groups in the block ranges, which an index found to hold "
             "`rows` groups of at most `gates` gates, as decode_recording's arrays "
             "(those named in `wanted`, or all).");
  module.attr("PREFACE_BIT_GATES") = py::make_tuple(
      digisonde16c::preface_bit_gates(1), digisonde16c::preface_bit_gates(2));
  module.def("amplitude_scales", &digisonde16c::amplitude_scales, py::arg("prefaces"),
             "The (step, offset) arrays of the groups' amplitude codes, amplitude = "
             "step * code + offset, from their preface digits (groups x 57).");
  module.def("pack_exact", &digisonde16c::pack_exact, py::arg("values"), py::arg("scale"),
             py::arg("fill"),
             "`values` (single precision) as 16-bit counts of `scale` that give them "
             "back bit for bit, NaN as `fill`; None when one is not such a count.");
  py::class_<GroupIterator>(module, "GroupIterator")
      .def(py::init<const std::string&, const py::object&, bool, float, bool>(),
           py::arg("path"), py::arg("name"), py::arg("select_frequency"),
           py::arg("frequency"), py::arg("correct_phase"))
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &GroupIterator::next)
      .def("close", &GroupIterator::close);
}
