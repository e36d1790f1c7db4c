#include "Dialogs.h"

#include <QInputDialog>
#include <QMessageBox>

namespace {

QString lines(QString text) {
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
}

}  // namespace

Dialogs::~Dialogs() = default;

bool QtDialogs::question(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Atención..."), lines(text), QMessageBox::Yes | QMessageBox::No,
                    parent_);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void QtDialogs::notice(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vantoria"), lines(text), QMessageBox::Ok, parent_);
    box.exec();
}

QString QtDialogs::inputBox(const QString& prompt, const QString& title, const QString& defaultText) {
    bool ok = false;
    const QString text = QInputDialog::getText(parent_, title, lines(prompt), QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

bool ScriptedDialogs::question(const QString& text) {
    shown.append({Kind::Question, QStringLiteral("Atención..."), text});
    return answers.isEmpty() ? false : answers.takeFirst();
}

void ScriptedDialogs::notice(const QString& text) {
    shown.append({Kind::Notice, QStringLiteral("Vantoria"), text});
}

QString ScriptedDialogs::inputBox(const QString& prompt, const QString& title, const QString&) {
    shown.append({Kind::InputBox, title, prompt});
    return inputs.isEmpty() ? QString() : inputs.takeFirst();
}

QStringList ScriptedDialogs::notices() const {
    QStringList out;
    for (const Shown& s : shown)
        if (s.kind == Kind::Notice)
            out << s.text;
    return out;
}
