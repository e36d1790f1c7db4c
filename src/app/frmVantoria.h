#pragma once

#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "Form.h"

#include <QWidget>

#include <memory>

// The program's one window: lays the controls out and connects each control's events to its handler.
class frmVantoria : public QWidget {
    Q_OBJECT
  public:
    struct Options {
        // The folder whose "Base de Datos.dba" the window reads; the program's own folder when empty.
        QString programFolder;
        // The message boxes; Qt's own when null.
        Dialogs* dialogs = nullptr;
        // Sees every statement the database engine runs.
        DatabaseEngine::Observer statementObserver;
    };

    frmVantoria();
    explicit frmVantoria(Options options);
    ~frmVantoria() override;

    Form& form() { return form_; }
    // The database engine of the run, made at its first use.
    DatabaseEngine& DBEngine();

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_Activate();
    void Grid1_Click();
    void Grid1_DblClick();
    void BuscarPalabra_Enter();
    void Buscar_Enter();

    Options options_;
    Form form_;
    std::unique_ptr<QtDialogs> qtDialogs_;
    std::unique_ptr<DatabaseEngine> engine_;
};
