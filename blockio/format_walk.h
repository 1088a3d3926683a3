// The one walk of a format plan, shared by the line writer, the fixed-text
// writer and the layout compiler so that the three cannot disagree.
#ifndef BLOCKIO_FORMAT_WALK_H_
#define BLOCKIO_FORMAT_WALK_H_

#include <cstdint>

#include "blockio/format_plan.h"

namespace digisonde16c {

// Pending moves and column counts of the walk are held below this, so that
// a format of nested repeated X moves cannot overflow them.
constexpr int64_t kMaxPendingColumns = int64_t{1} << 40;

inline int64_t add_capped(int64_t a, int64_t b) {
  int64_t sum = a + b;
  return sum > kMaxPendingColumns ? kMaxPendingColumns : sum;
}

// Whether the part of the format from `start` to its end takes an item, so
// that reverting there makes progress.
inline bool takes_items_from(const FormatPlan& plan, int start) {
  for (int i = start; i < plan.count; ++i) {
    if (is_data(plan.descriptors[i].kind)) return true;
  }
  return false;
}

// Walks the plan for `count` items and drives `out`:
//   blanks(n)           a pending move meets a following character
//   literal(chars, n)   a literal's characters
//   field(d, index)     descriptor d takes item `index`
//   end_line(last)      the line ends; with last false the walk goes on to
//                       a new line only if end_line returns true
template <class Output>
void walk_plan(const FormatPlan& plan, int count, Output* out) {
  struct Frame {
    int open;
    int passes_left;
  };
  Frame stack[kMaxDescriptors];
  int depth = 0;
  int next_item = 0;
  int64_t pending = 0;
  int descriptor_count = plan.count < 0 ? 0
                         : plan.count > kMaxDescriptors ? kMaxDescriptors
                                                        : plan.count;
  int i = 0;
  for (;;) {
    if (i >= descriptor_count) {
      if (next_item >= count || !takes_items_from(plan, plan.reversion)) {
        out->end_line(true);
        return;
      }
      if (!out->end_line(false)) return;
      pending = 0;
      depth = 0;
      i = plan.reversion;
      continue;
    }
    const Descriptor& d = plan.descriptors[i];
    switch (d.kind) {
      case DescriptorKind::kLiteral:
        if (d.literal_length > 0) {
          if (pending > 0) out->blanks(pending);
          pending = 0;
          out->literal(plan.literals + d.literal_offset, d.literal_length);
        }
        ++i;
        break;
      case DescriptorKind::kSkip:
        pending = add_capped(pending, d.width);
        ++i;
        break;
      case DescriptorKind::kGroupOpen:
        if (d.width >= 0) {
          // Only X moves inside: all passes at once.
          pending = add_capped(pending, int64_t{d.repeat} * d.width);
          i = d.partner + 1;
        } else {
          stack[depth++] = Frame{i, d.repeat};
          ++i;
        }
        break;
      case DescriptorKind::kGroupClose:
        if (depth > 0 && --stack[depth - 1].passes_left > 0) {
          i = stack[depth - 1].open + 1;
        } else {
          if (depth > 0) --depth;
          ++i;
        }
        break;
      default:
        for (int r = 0; r < d.repeat; ++r) {
          if (next_item >= count) {
            out->end_line(true);
            return;
          }
          if (pending > 0) out->blanks(pending);
          pending = 0;
          out->field(d, next_item++);
        }
        ++i;
        break;
    }
  }
}

}  // namespace digisonde16c

#endif  // BLOCKIO_FORMAT_WALK_H_
