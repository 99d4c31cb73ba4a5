#pragma once
// Opening a file or folder by its path below an indexed folder without ever leaving it: no
// symbolic link, no "..", nothing but a regular file or a folder, whatever changes on the disk
// between one step and the next.
#include <string>
#include <string_view>

namespace zdxserver {

// Opens `relative` (no leading '/') below the folder open as `rootFd`. With `folder` it must be
// a folder (for fdopendir), otherwise a regular file; a link, a pipe, a device or a ".." on the
// way gives -1. A file is opened without waiting for a writer (a named pipe never blocks), then
// read blocking as usual. The descriptor is close-on-exec.
int OpenBeneath(int rootFd, std::string_view relative, bool folder);

// Opens an indexed folder's root itself (a folder, not a link); -1 when it cannot be.
int OpenRoot(const std::string& root);

// Called between the steps of OpenBeneath, for tests that change the disk there; null normally.
using BeneathHook = void (*)(std::string_view relative);
void SetBeneathHook(BeneathHook hook);

} // namespace zdxserver
