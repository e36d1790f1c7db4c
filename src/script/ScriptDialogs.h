#pragma once

#include <QString>

// The two modal dialogs a script can open. The window shows real ones; the console tool and the tests give
// their own, so that the interpreter needs nothing beyond QtCore.
class ScriptDialogs {
  public:
    // The icon of a message box, as the platform numbers its styles; both have a single OK button.
    enum Style : int { Warning = 48, Information = 64 };

    virtual ~ScriptDialogs() = default;

    // Shows text under caption and returns once the box is closed.
    virtual void messageBox(const QString& text, const QString& caption, int style) = 0;
    // Asks for one line of text; returns what was typed, or the empty text when cancelled.
    virtual QString inputBox(const QString& prompt, const QString& caption, const QString& preset) = 0;
};
