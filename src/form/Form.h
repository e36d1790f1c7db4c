#pragma once

#include <QElapsedTimer>
#include <QPixmap>
#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>

class Dialogs;
class FlexGrid;
class ResultBox;
class SearchBox;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

// Every control and window-level value of the window, for the whole run. The handlers of every folder receive it.
struct Form {
    QWidget* window = nullptr;  // the window itself: disabling it disables every control
    QWidget* client = nullptr;  // the client area the controls are laid out on

    QCheckBox* Check1 = nullptr;
    QPushButton* Command2 = nullptr;
    QLineEdit* Casilla = nullptr;
    SearchBox* Buscar = nullptr;
    SearchBox* BuscarPalabra = nullptr;
    ResultBox* Resultado = nullptr;
    QGroupBox* Frame1 = nullptr;
    QProgressBar* Barra1 = nullptr;
    QLabel* Detalle02 = nullptr;
    QLabel* Detalle01 = nullptr;
    QLabel* EstadoConexion = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Image1 = nullptr;
    FlexGrid* Grid1 = nullptr;
    QPushButton* Command1 = nullptr;
    QLineEdit* Clave = nullptr;
    QLineEdit* Usuario = nullptr;
    FlexGrid* Grid2 = nullptr;
    QLabel* VerEstado = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* GetState = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label1 = nullptr;
    // "Cancelar" on the wait panel: shown while a listing download or a batch runs, the one control that takes a
    // click while the window is disabled.
    QPushButton* CmdCancelar = nullptr;

    // The two pictures of the image list, numbered 1 and 2.
    QPixmap ImgList1[2];
    const QPixmap& imagen(int n) const { return ImgList1[n == 2 ? 1 : 0]; }

    QString RutaPrograma;
    QString RutaBaseDatos;
    bool PrimeraVez = true;

    int Paso = 0;
    qint32 OffsetActual = 0;
    QString IdVendedor;
    // The listing ids in the listing grid and the pages they came in, while a download runs.
    QSet<QString> idsPublicaciones;
    int paginasRecibidas = 0;
    // Since the download's progress bar last moved.
    QElapsedTimer avanceDescarga;
    bool Esperando = false;
    // True while a batch waits for the answer to its pause request: that answer is awaited, its content ignored.
    bool esperoPausa = false;
    // True from the start of a sign-in, a price push or a batch until its end: the window stays disabled meanwhile,
    // whatever the channel reports between requests, and no other such operation starts.
    bool operacionEnCurso = false;
    // The product row and listing id of the single price push awaiting its answer.
    int filaEnviada = 0;
    QString idEnviado;
    // The operation that "Cancelar" stops while it runs, and whether the operator has asked it to stop: a download
    // stops after the page in flight, a batch before its next item.
    enum class Cancelable { Nada, Descarga, Tanda };
    Cancelable cancelable = Cancelable::Nada;
    bool cancelado = false;

    Dialogs* dialogs = nullptr;
    // True while the window takes no input (deshabilitoVentana); `entradaCerrada` is what shuts it out.
    bool deshabilitada = false;
    QObject* entradaCerrada = nullptr;
    // Set once the window is closing: every wait and every load ends at its next step.
    bool cerrando = false;
};

// Builds every control on `client` (a child of `window`) with its position, look, front-to-back and tab order.
void layOutForm(Form& form, QWidget* window, QWidget* client);

// Start-up in its order: PrimeraVez, current directory, RutaPrograma and RutaBaseDatos, PreparoGrillas.
void Form_Load(Form& form, const QString& programFolder);
void PreparoGrillas(Form& form);

// The columns PreparoGrillas lays out, of the product grid and of the listing grid.
namespace colProductos {
inline constexpr int Codigo = 0, Categoria = 1, Producto = 2, Precio = 3, Serial = 4, Enviar = 5, Numero = 6,
                     Enviado = 7;
}
namespace colPublicaciones {
inline constexpr int Id = 0, Vincular = 1, Titulo = 2, Precio = 3, Numero = 4;
}
// Hides the price editor; the window's bare surface and the wait panel call it on mouse movement.
void Form_MouseMove(Form& form);
void FiltroPublicaciones(Form& form);
// Colours every cell of the product grid's current row; `colour` is red + 256 * green + 65536 * blue.
void PintoFila(Form& form, const quint32& colour);

// Disables and enables the whole window while work runs. A disabled window takes no keyboard or mouse input (its
// message boxes do, and so does "Cancelar" while it is shown and enabled), shows a busy cursor, and looks as it did:
// nothing is greyed, so the wait panel and the grids stay legible through a long load or batch, and nothing is
// repainted for it.
void deshabilitoVentana(Form& form);
void habilitoVentana(Form& form);
bool ventanaHabilitada(const Form& form);

// Lets pending events run once.
void dejoCorrerEventos();

// The wait panel's message as the window opens, which the product list load shows.
inline constexpr char16_t TextoEspera[] = u"Cargando productos...     Por favor espere...";

// The property that marks a label sized to its text.
inline constexpr char AutoSizeProperty[] = "vantoriaAutoSize";

// Sets a status label's text; the labels sized to their text (GetState, Detalle01, EstadoConexion, Label3) follow
// it. A visible label shows a text at once, or, when it changed in the last 30 ms, together with the changes that
// follow within them: the screen is not repainted for every state of every request. GetState, which is never seen,
// always holds its last text.
void ponTexto(QLabel* label, const QString& text);
// Sets a label's tooltip to a text shown as it stands, markup and all; an empty text removes the tooltip.
void ponAyuda(QLabel* label, const QString& text);
// Shows every status label's last text now (an operation has ended).
void muestroTextos(Form& form);

// Runs an event handler; anything it throws ends as a notice instead of reaching the event loop.
void protegido(Form& form, const std::function<void()>& handler);
