// Exit statuses of the three programs.
#ifndef BLOCKIO_EXIT_STATUS_H_
#define BLOCKIO_EXIT_STATUS_H_

enum ExitStatus {
  kExitSuccess = 0,
  // A failed open, an unreadable option value, a read or write failure.
  kExitFailure = 2,
  // Missing arguments or a missing recording: -1 as the parent sees it.
  kExitMissing = 255,
};

#endif  // BLOCKIO_EXIT_STATUS_H_
