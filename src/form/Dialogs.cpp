#include "Dialogs.h"

#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>

namespace {

QString lines(QString text) {
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
}

// What these boxes show comes from a server, the catalogue or the operator, or carries such text: it is shown as it
// stands. Left to guess, Qt renders a text that begins like HTML as rich text, and loads the images it names.
void textoPlano(QDialog& dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(&dialog))
        box->setTextFormat(Qt::PlainText);
    for (QLabel* label : dialog.findChildren<QLabel*>())
        label->setTextFormat(Qt::PlainText);
}

}  // namespace

Dialogs::~Dialogs() = default;

bool QtDialogs::question(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Atención..."), lines(text), QMessageBox::Yes | QMessageBox::No,
                    parent_);
    box.setDefaultButton(QMessageBox::Yes);
    textoPlano(box);
    return box.exec() == QMessageBox::Yes;
}

void QtDialogs::notice(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vantoria"), lines(text), QMessageBox::Ok, parent_);
    textoPlano(box);
    box.exec();
}

QString QtDialogs::inputBox(const QString& prompt, const QString& title, const QString& defaultText) {
    QInputDialog box(parent_);
    box.setInputMode(QInputDialog::TextInput);
    box.setWindowTitle(title);
    box.setLabelText(lines(prompt));
    box.setTextValue(defaultText);
    textoPlano(box);
    return box.exec() == QDialog::Accepted ? box.textValue() : QString();
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
