// The marketplace's listing search: one page of a seller's listings as JSON.
#include "State.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr int DefaultLimit = 50;
constexpr int MaxLimit = 50;

QByteArray jsonString(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out.append('"');
    for (const char c : utf8) {
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    static const char digits[] = "0123456789abcdef";
                    out.append("\\u00");
                    out.append(digits[(c >> 4) & 0xf]);
                    out.append(digits[c & 0xf]);
                } else {
                    out.append(c);
                }
        }
    }
    out.append('"');
    return out;
}

// Plain decimal notation, '.' as separator, no grouping, as few digits as give the value back.
QByteArray jsonNumber(double value) {
    if (!std::isfinite(value)) {
        return QByteArrayLiteral("0");
    }
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        return QByteArray::number(static_cast<qint64>(value));
    }
    return QByteArray::number(value, 'f', QLocale::FloatingPointShortest);
}

// A seller id is a JSON number when it is one, as the marketplace writes it.
QByteArray sellerIdJson(const QString& id) {
    if (allDigits(id) && id.size() <= 15) {
        return id.toLatin1();
    }
    return jsonString(id);
}

// "Licuadora Oster 10 Velocidades" -> "licuadora-oster-10-velocidades"; accents dropped. From the first 200
// characters of the title only, as a permalink is kept short (and a title of megabytes normalizes slowly).
QByteArray titleSlug(const QString& title) {
    const QString plain = title.left(200).normalized(QString::NormalizationForm_D);
    QByteArray slug;
    bool dash = false;
    for (const QChar c : plain) {
        if (c.category() == QChar::Mark_NonSpacing) {
            continue;
        }
        const QChar lower = c.toLower();
        if ((lower >= u'a' && lower <= u'z') || (lower >= u'0' && lower <= u'9')) {
            if (dash && !slug.isEmpty()) {
                slug.append('-');
            }
            dash = false;
            slug.append(char(lower.unicode()));
        } else {
            dash = true;
        }
    }
    return slug;
}

int availableQuantity(const QString& id) {
    int sum = 0;
    for (const QChar c : id) {
        if (c.isDigit()) {
            sum += c.digitValue();
        }
    }
    return 1 + sum % 25;
}

}  // namespace

Answer State::search(const Request& request, const std::optional<Fault>& fault) const {
    const QString sellerId = request.query.value(QStringLiteral("seller_id"));
    bool ok = false;
    qint64 limit = request.query.value(QStringLiteral("limit")).toLongLong(&ok);
    if (!ok || limit < 0) {
        limit = DefaultLimit;
    }
    limit = std::min<qint64>(limit, MaxLimit);
    qint64 offset = request.query.value(QStringLiteral("offset")).toLongLong(&ok);
    if (!ok || offset < 0) {
        offset = 0;
    }

    const QList<Listing> list = listings.value(sellerId);
    const qint64 total = list.size();
    const qint64 first = std::min(offset, total);
    qint64 announced = total;
    qint64 end = std::min(total, first + limit);
    if (fault && fault->kind == FaultKind::Total) {
        announced = fault->number;
        end = std::min(end, std::max(first, fault->number));  // never more than number - offset
    }
    if (fault && fault->kind == FaultKind::FewerResults) {
        end -= std::max<qint64>(0, fault->number);
    }

    const QByteArray seller = "{\"id\":" + sellerIdJson(sellerId) + "}";
    QByteArray json =
        "{\"site_id\":\"MLV\",\"seller\":" + seller + ",\"paging\":{\"total\":" + QByteArray::number(announced) +
        ",\"primary_results\":" + QByteArray::number(announced) + ",\"offset\":" + QByteArray::number(offset) +
        ",\"limit\":" + QByteArray::number(limit) + "},\"results\":[";
    for (qint64 i = first; i < end; ++i) {
        const Listing& listing = list[i];
        if (i > first) {
            json += ',';
        }
        QByteArray digits = listing.id.toUtf8();
        if (digits.startsWith("MLV")) {
            digits.remove(0, 3);
        }
        const QByteArray permalink =
            "https://articulo.mercadolibre.com.ve/MLV-" + digits + '-' + titleSlug(listing.title) + "-_JM";
        json += "{\"id\":" + jsonString(listing.id) + ",\"site_id\":\"MLV\",\"title\":" + jsonString(listing.title) +
                ",\"price\":" + jsonNumber(listing.price) + ",\"currency_id\":" + jsonString(listing.currency) +
                ",\"available_quantity\":" + QByteArray::number(availableQuantity(listing.id)) +
                ",\"condition\":\"new\",\"permalink\":" + jsonString(QString::fromUtf8(permalink)) +
                ",\"thumbnail\":" + jsonString(QStringLiteral("http://http2.mlstatic.com/D_%1-I.jpg").arg(listing.id)) +
                ",\"seller\":" + seller + '}';
    }
    json += "],\"sort\":{\"id\":\"relevance\",\"name\":\"Más relevantes\"},\"available_filters\":[]}";
    return {200, Json, json};
}

}  // namespace sim
