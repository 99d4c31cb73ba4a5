#pragma once
// The program's pictures, drawn for this product and bundled as resources.
#include <QIcon>
#include <QPixmap>
#include <QString>

// The logo at the foot of the search form, 206 by 48 pixels.
QPixmap LogoPixmap();

// The application icon.
QIcon AppIcon();

// A toolbar icon by name ("new", "open", "save", "login", "logout", "cut", "copy", "paste",
// "print", "largeicons", "smallicons", "list", "details", "about").
QIcon ToolbarIcon(const char* name);

// The icon of a file type, from its extension: the desktop theme's where it has one, else ours.
QIcon FileTypeIcon(const QString& extension);

// The Stop command's icon: the desktop theme's, or a red square of our own.
QIcon StopIcon();
