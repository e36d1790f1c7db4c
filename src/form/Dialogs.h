#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

class QWidget;

// The window's message boxes. Lines inside a message are separated by a carriage return.
class Dialogs {
  public:
    virtual ~Dialogs();
    // Yes and No buttons, caption "Atención..."; true only for Yes.
    virtual bool question(const QString& text) = 0;
    // OK button, the program's title "Vantoria" as caption.
    virtual void notice(const QString& text) = 0;
    virtual QString inputBox(const QString& prompt, const QString& title, const QString& defaultText) = 0;
};

// Modal Qt message boxes without an icon; a carriage return shows as a line break.
class QtDialogs : public Dialogs {
  public:
    explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }

    bool question(const QString& text) override;
    void notice(const QString& text) override;
    QString inputBox(const QString& prompt, const QString& title, const QString& defaultText) override;

  private:
    QPointer<QWidget> parent_;
};

// Answers from a script and records every box exactly as it would have been shown.
class ScriptedDialogs : public Dialogs {
  public:
    enum class Kind { Question, Notice, InputBox };
    struct Shown {
        Kind kind;
        QString caption;
        QString text;
    };

    bool question(const QString& text) override;
    void notice(const QString& text) override;
    QString inputBox(const QString& prompt, const QString& title, const QString& defaultText) override;

    // Answers to the next questions, in order; a question without a scripted answer is answered No.
    QList<bool> answers;
    QStringList inputs;
    QList<Shown> shown;

    QStringList notices() const;
};
