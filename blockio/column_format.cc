#include "blockio/column_format.h"

#include <cstring>

#include "blockio/format_walk.h"

namespace digisonde16c {

namespace {

inline void fill_blanks(char* out, int count) {
  if (count > 0) std::memset(out, ' ', static_cast<size_t>(count));
}

// The walk's output into a sink: lines as the walk forms them.
class SinkOutput {
 public:
  SinkOutput(TextSink* sink, const Item* items) : sink_(sink), items_(items) {}

  void blanks(int64_t n) {
    while (n > 0) {
      int part = n < kMaxFieldWidth ? static_cast<int>(n) : kMaxFieldWidth;
      char* p = reserve_sink(sink_, static_cast<size_t>(part));
      fill_blanks(p, part);
      commit_sink(sink_, static_cast<size_t>(part));
      n -= part;
    }
  }
  void literal(const char* chars, int n) {
    append_sink(sink_, chars, static_cast<size_t>(n));
  }
  void field(const Descriptor& d, int index) {
    char* p = reserve_sink(sink_, static_cast<size_t>(d.width));
    render_item(d, items_[index], p);
    commit_sink(sink_, static_cast<size_t>(d.width));
  }
  bool end_line(bool) {
    append_sink(sink_, "\n", 1);
    return true;
  }

 private:
  TextSink* sink_;
  const Item* items_;
};

// The walk's output into a text of fixed length: its first line, cut or
// blank-filled to that length.
class TextOutput {
 public:
  TextOutput(const Item* items, char* text, int length)
      : items_(items), text_(text), length_(length) {}

  void blanks(int64_t n) {
    int room = this->room();
    if (room > 0) fill_blanks(text_ + position_, n < room ? static_cast<int>(n) : room);
    position_ = add_capped(position_, n);
  }
  void literal(const char* chars, int n) {
    int room = this->room();
    if (room > 0) {
      std::memcpy(text_ + position_, chars,
                  static_cast<size_t>(n < room ? n : room));
    }
    position_ = add_capped(position_, n);
  }
  void field(const Descriptor& d, int index) {
    int room = this->room();
    if (d.width <= room) {
      render_item(d, items_[index], text_ + position_);
    } else if (room > 0 && d.width <= kMaxFieldWidth) {
      char scratch[kMaxFieldWidth];
      render_item(d, items_[index], scratch);
      std::memcpy(text_ + position_, scratch, static_cast<size_t>(room));
    }
    position_ = add_capped(position_, d.width);
  }
  // The text holds one line.
  bool end_line(bool) { return false; }

  // Blanks the part of the text that nothing reached.
  void finish() {
    int room = this->room();
    fill_blanks(text_ + length_ - room, room);
  }

 private:
  int room() const {
    return position_ >= length_ ? 0 : length_ - static_cast<int>(position_);
  }

  const Item* items_;
  char* text_;
  int length_;
  int64_t position_ = 0;
};

}  // namespace

void write_formatted(TextSink* sink, const FormatPlan& plan, const Item* items,
                     int count) {
  if (sink == nullptr) return;
  if (items == nullptr || count < 0) count = 0;
  SinkOutput out(sink, items);
  walk_plan(plan, count, &out);
}

void format_into_text(const FormatPlan& plan, const Item* items, int count,
                      char* text, int text_length) {
  if (text == nullptr || text_length <= 0) return;
  if (items == nullptr || count < 0) count = 0;
  TextOutput out(items, text, text_length);
  walk_plan(plan, count, &out);
  out.finish();
}

}  // namespace digisonde16c
