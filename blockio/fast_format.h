// Switch for the fast routes of the column-format engine: the integer route
// of F fields with up to 4 decimals, the compiled single-line writes of
// write_formatted and the writers built on them. Every route gives the same
// characters; turning them off leaves the plain walk of the format and the
// general field renderers, against which tests check the fast routes.
#ifndef BLOCKIO_FAST_FORMAT_H_
#define BLOCKIO_FAST_FORMAT_H_

// On at program start.
void set_fast_format(bool enabled);
bool fast_format_enabled();

#endif  // BLOCKIO_FAST_FORMAT_H_
