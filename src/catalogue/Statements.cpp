#include "Statements.h"

namespace sentencias {

bool esPalabraDeBusqueda(const QString& text) {
    return !text.isEmpty() && text != QLatin1String("Buscar...");
}

QString guardable(QString text) {
    return text.remove(QChar(u'\0'));
}

QString comillasDobladas(QString text) {
    return guardable(std::move(text)).replace(u'\'', QLatin1String("''"));
}

QString productos(const QString& texto) {
    if (!esPalabraDeBusqueda(texto))
        return QStringLiteral(
            "Select * from [Consulta Productos] Where Inhabilitado=false Order By NombreCategoría, Nombre;");
    const QString w = comillasDobladas(texto);
    return QStringLiteral("Select * from [Consulta Productos] Where (Nombre like '*") + w +
           QStringLiteral("*' or NombreCategoría like '*") + w + QStringLiteral("*' or COD_PROD like '*") + w +
           QStringLiteral("*' or Serial like '*") + w +
           QStringLiteral("*') and Inhabilitado=false Order By NombreCategoría, Nombre;");
}

std::optional<qint64> codigoProducto(QStringView text) {
    QStringView digits = text;
    if (digits.startsWith(u'-'))
        digits = digits.mid(1);
    if (digits.isEmpty() || digits.size() > 18)
        return std::nullopt;
    for (QChar c : digits)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

QString precio(const QString& monto, qint64 codigo) {
    return QStringLiteral("Update Productos set PrecioSugeridoAdic002=") + monto + QStringLiteral(" Where Código=") +
           QString::number(codigo);
}

QString quitoSerial(qint64 codigo) {
    return QStringLiteral("Update Productos set Serial='-' Where Código=") + QString::number(codigo);
}

QString serial(const QString& idPublicacion, qint64 codigo) {
    return QStringLiteral("Update Productos set Serial='") + comillasDobladas(idPublicacion) +
           QStringLiteral("' Where Código=") + QString::number(codigo);
}

}  // namespace sentencias
