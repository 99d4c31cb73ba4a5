#pragma once
// Modal message boxes with the application's caption. Tests answer them through a hook instead
// of a window.
#include <functional>
#include <string>

class QWidget;

enum class MessageKind {
    Ok,        // warning icon, OK
    YesNo,     // question icon, Yes and No
    YesNoSafe, // question icon, Yes and No, No the default (the question before a deletion)
    OkCancel,  // question icon, OK and Cancel
};

// What the user answered a message box.
enum class Answer { Ok, Cancel, Yes, No };

// Shows the text (always as plain text) and returns the answer. The first button is the
// default; Escape answers No or Cancel.
Answer ShowMessageBox(const std::string& text, MessageKind kind, QWidget* parent = nullptr);

using MessageBoxHook = std::function<Answer(const std::string& text, MessageKind kind)>;
// While a hook is set, message boxes go to it instead of the screen.
void SetMessageBoxHook(MessageBoxHook hook);

// Asks for a document file name: to open an existing file, or to save under (the file dialog
// asks before overwriting). Empty when the user cancels. Tests answer through a hook.
std::string AskDocumentPath(bool save, const std::string& suggested, QWidget* parent = nullptr);
// Asks where to export hits; `csv` tells which file type was chosen (CSV or TSV).
std::string AskExportPath(bool& csv, QWidget* parent = nullptr);
using FileDialogHook = std::function<std::string(bool save, const std::string& suggested)>;
void SetFileDialogHook(FileDialogHook hook);
