// Evaluates arbitrary script texts with dialogs that answer at once. Faults the script language defines
// (vb::Error) are expected; a crash, a hang, a leak or a broken invariant is not.

#include "VbError.h"
#include "cJSONScript.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

class AnsweringDialogs : public ScriptDialogs {
  public:
    void messageBox(const QString&, const QString& caption, int style) override {
        // Only the parser's report uses the warning icon; every "alert" is an information box.
        if (style != Information && !(style == Warning && caption == QStringLiteral("Parser Error"))) {
            std::abort();
        }
    }
    // Hands the prompt back so that answers feed later commands.
    QString inputBox(const QString& prompt, const QString&, const QString& preset) override {
        return prompt.size() % 2 == 0 ? prompt : preset;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    AnsweringDialogs dialogs;
    cJSONScript script(dialogs);
    // The second pass meets the variables of the first, so "set" also replaces present names.
    for (int pass = 0; pass < 2; ++pass) {
        try {
            (void)script.Eval(text);
        } catch (const vb::Error&) {
        }
        if (script.nestingLevel() != 0) {
            std::abort();
        }
    }
    return 0;
}
