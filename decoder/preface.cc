#include "decoder/preface.h"

#include <cstring>

#include "blockio/column_format.h"
#include "blockio/free_form.h"
#include "blockio/line_layout.h"
#include "decoder/group_record.h"

namespace digisonde16c {

namespace {

const FormatPlan& time_text_plan() {
  static const FormatPlan plan = [] {
    FormatPlan p{};
    parse_format("(I4.4,1X,3I1,1X,2I1,':',2I1,':',2I1)", &p);
    return p;
  }();
  return plan;
}

// Gate spacing and doubling boundary (0: none) by range gate code H.
const float kGateSpacing[16] = {2.5f, 5.0f, 10.0f, 2.5f, 0.0f, 0.0f,
                                0.0f, 0.0f, 2.5f, 5.0f, 10.0f, 2.5f,
                                5.0f, 0.0f, 0.0f, 0.0f};
const int kDoublingBoundary[16] = {0, 0, 0, 40, 0, 0, 0,   0,
                                   0, 0, 0, 128, 128, 0, 0, 0};
// Range of the first gate by start range code E (1..5).
const float kGateStart[6] = {0.0f, 10.0f, 60.0f, 160.0f, 380.0f, 760.0f};

}  // namespace

int group_year(const uint8_t* preface) {
  const int yy = 10 * digit(preface, 1) + digit(preface, 2);
  return yy <= 81 ? 2000 + yy : 1900 + yy;
}

void group_time_text(const uint8_t* preface, char* time_text) {
  Item items[10];
  items[0] = integer_item(group_year(preface));
  for (int n = 3; n <= 11; ++n) {
    items[n - 2] = byte_item(static_cast<int8_t>(digit(preface, n)));
  }
  // The plan's compiled layout writes the 17 characters and a line end.
  static const LineLayout* const layout = [] {
    static LineLayout compiled;
    return compile_layout(time_text_plan(), 10, &compiled) &&
                   compiled.width == kTimeTextLength
               ? &compiled
               : nullptr;
  }();
  if (layout == nullptr) {
    format_into_text(time_text_plan(), items, 10, time_text, kTimeTextLength);
    return;
  }
  char line[kTimeTextLength + 1];
  TextSink sink = make_text_sink(-1, line, sizeof line);
  write_layout(&sink, *layout, items);
  std::memcpy(time_text, line, kTimeTextLength);
}

bool group_time_seconds(const uint8_t* preface, int64_t* seconds) {
  for (int n = 1; n <= 11; ++n) {
    if (digit(preface, n) > 9) return false;
  }
  const int year = group_year(preface);
  const int day = 100 * digit(preface, 3) + 10 * digit(preface, 4) + digit(preface, 5);
  const int hour = 10 * digit(preface, 6) + digit(preface, 7);
  const int minute = 10 * digit(preface, 8) + digit(preface, 9);
  const int second = 10 * digit(preface, 10) + digit(preface, 11);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day < 1 || day > (leap ? 366 : 365) || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  // Days from 1970-01-01 to January 1 of the year: 365 a year plus the leap
  // days of the years before it (477 of them fell before 1970).
  const int64_t before = year - 1;
  const int64_t days = 365 * static_cast<int64_t>(year - 1970) + before / 4 -
                       before / 100 + before / 400 - 477 + (day - 1);
  *seconds = ((days * 24 + hour) * 60 + minute) * 60 + second;
  return true;
}

float group_frequency(const uint8_t* preface) {
  // The decimal weights are powers of the single-precision 0.1, and the
  // offsets single-precision constants, all combined in double.
  const double tenth = 0.1f;
  const double hundredth = tenth * tenth;
  const double thousandth = hundredth * tenth;
  const double ten_thousandth = thousandth * tenth;
  const double base = 10.0 * digit(preface, 20) + digit(preface, 21) +
                      tenth * digit(preface, 22) +
                      hundredth * digit(preface, 23) +
                      thousandth * digit(preface, 24) +
                      ten_thousandth * digit(preface, 25);

  const int step = digit(preface, 52) == 15 ? 0 : digit(preface, 52);
  const double quarter_step = 0.0025f;
  double offset = quarter_step;
  switch (digit(preface, 56)) {
    case 1:
      // One unit in the last place below the nearest float of 0.0225.
      offset = 0.022499999f;
      break;
    case 2:
      offset = quarter_step + static_cast<double>(0.01f) * step;
      break;
    case 3:
      offset = quarter_step + static_cast<double>(0.02f) * step;
      break;
    default:
      break;
  }
  return static_cast<float>(base + offset);
}

void range_gates(const uint8_t* preface, int* gate_count, float* gate_range,
                 TextSink* messages) {
  const int h = digit(preface, 54);
  const int e = digit(preface, 55);
  if (h < 0 || h > 15 || e < 1 || e > 5) {
    const FreeItem items[4] = {free_text("UNDEFIEND RANGE GATES H="),
                               free_integer(h), free_text(" E="),
                               free_integer(e)};
    write_free_form(messages, items, 4);
    *gate_count = 0;
    return;
  }
  *gate_count = h <= 7 ? 128 : 256;
  const float spacing = kGateSpacing[h];
  const float start = kGateStart[e];
  const int boundary = kDoublingBoundary[h];
  for (int i = 0; i < *gate_count; ++i) {
    // Beyond the boundary the gate index itself is doubled, so the range
    // jumps at the boundary and then grows by twice the spacing.
    const int steps = (boundary > 0 && i >= boundary) ? 2 * i : i;
    gate_range[i] = start + static_cast<float>(steps) * spacing;
  }
}

}  // namespace digisonde16c
