#pragma once
// What the user does with a hit's link: open it with the desktop's default application, put it
// on the clipboard as a file, delete the file it names. Tests replace the desktop through a hook.
#include <QUrl>

#include <functional>
#include <vector>

class QMimeData;
#include <string>

// Launch results, as the shell's numbers: above 32 is success.
inline constexpr int kLaunchOk = 42;
inline constexpr int kLaunchFileNotFound = 2;
inline constexpr int kLaunchNoAssociation = 31;

// A link with a scheme of two or more letters ("http:", "file:") is a URL; anything else
// ("C:\x", "/srv/a.pdf", "docs/b.txt") a path.
bool IsUrlLink(const std::string& link);

// The URL a link stands for: the link itself, or the file URL of the (absolute) path.
QUrl LinkUrl(const std::string& link);

// Opens the link with the desktop's default application: kLaunchOk, or kLaunchFileNotFound for
// a path that does not exist (nothing is launched), or kLaunchNoAssociation.
int LaunchLink(const std::string& link);
// Opens the link at `page` (1 for the first): a PDF file in the desktop's viewer where that
// takes a page (else as LaunchLink does), a URL with "#page=N", which browsers' PDF viewers
// follow. The launch hook gets the link's URL with that fragment.
int LaunchLinkAtPage(const std::string& link, int page);
// Opens the folder that holds a local file with the desktop's file manager; false for a URL
// or when the folder cannot be opened.
bool OpenContainingFolder(const std::string& link);
using LaunchHook = std::function<bool(const QUrl& url)>;
void SetLaunchHook(LaunchHook hook);

// Puts the link on the clipboard as a file (a file URI for a path, the URL itself for a URL),
// in the forms file managers paste; no plain text.
void CopyLinkToClipboard(const std::string& link);
// The same data for several links: what a drag out of the list carries.
QMimeData* LinksMimeData(const std::vector<std::string>& links);

// Deletes the file a link names. A file the user may not write is not deleted, nor is a
// folder or a URL. True on success.
bool DeleteLinkedFile(const std::string& link);

// Moves the file a link names to the desktop Trash (the freedesktop.org Trash specification's
// home Trash); `trashed` gets its place there. NoTrash: the file could be deleted, but the
// Trash is on another volume or cannot be made.
enum class TrashOutcome { Moved, NoTrash, Failed };
TrashOutcome TrashLinkedFile(const std::string& link, std::string& trashed);

// Puts a file moved to the Trash back at `link` and drops its Trash entry; false when that
// place is taken or the file has left the Trash.
bool RestoreFromTrash(const std::string& trashed, const std::string& link);
