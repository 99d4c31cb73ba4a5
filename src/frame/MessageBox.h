#pragma once
// Modal message boxes with the application's caption. Tests answer them through a hook instead
// of a window.
#include <functional>
#include <string>

class QWidget;

enum class MessageKind {
    Ok,       // warning icon, OK
    YesNo,    // question icon, Yes and No
    OkCancel, // question icon, OK and Cancel
};

// The answers, numbered as the platform numbers them.
enum MessageAnswer { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// Shows the text (always as plain text) and returns the answer. The first button is the
// default; Escape answers No or Cancel.
int ShowMessageBox(const std::string& text, MessageKind kind, QWidget* parent = nullptr);

using MessageBoxHook = std::function<int(const std::string& text, MessageKind kind)>;
// While a hook is set, message boxes go to it instead of the screen.
void SetMessageBoxHook(MessageBoxHook hook);
