#include "Http.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace sim {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX sequences become bytes (read as UTF-8 at the end); a '%' not followed by two hex digits stays as it is.
QString percentDecode(QByteArrayView text, bool plusIsSpace) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            bytes.append(char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            bytes.append(' ');
        } else {
            bytes.append(c);
        }
    }
    return QString::fromUtf8(bytes);
}

// "a=1&b=2" as a map; a name given twice keeps its last value, as the maker's PHP gateway does.
QMap<QString, QString> decodePairs(const QByteArray& text, bool plusIsSpace) {
    QMap<QString, QString> pairs;
    for (const QByteArray& part : text.split('&')) {
        if (part.isEmpty()) {
            continue;
        }
        const qsizetype eq = part.indexOf('=');
        const QByteArrayView name = eq < 0 ? QByteArrayView(part) : QByteArrayView(part).first(eq);
        const QByteArrayView value = eq < 0 ? QByteArrayView() : QByteArrayView(part).sliced(eq + 1);
        pairs.insert(percentDecode(name, plusIsSpace), percentDecode(value, plusIsSpace));
    }
    return pairs;
}

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

}  // namespace

Parsed takeRequest(QByteArray& buffer, Request& request, bool& close) {
    // Empty lines ahead of a request line are ignored.
    qsizetype start = 0;
    while (buffer.size() - start >= 2 && buffer[start] == '\r' && buffer[start + 1] == '\n') {
        start += 2;
    }
    if (start > 0) {
        buffer.remove(0, start);
    }
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return buffer.size() > MaxHeadBytes ? Parsed::Malformed : Parsed::Incomplete;
    }
    if (headEnd + 4 > MaxHeadBytes) {
        return Parsed::Malformed;
    }

    const QByteArrayView head = QByteArrayView(buffer).first(headEnd);
    QList<QByteArrayView> lines;
    for (qsizetype from = 0; from <= head.size();) {
        qsizetype to = head.indexOf(QByteArrayView("\r\n"), from);
        if (to < 0) {
            to = head.size();
        }
        lines.append(head.sliced(from, to - from));
        from = to + 2;
    }

    const QByteArrayView requestLine = lines.front();
    const qsizetype firstSpace = requestLine.indexOf(' ');
    const qsizetype lastSpace = requestLine.lastIndexOf(' ');
    if (firstSpace <= 0 || lastSpace <= firstSpace + 1) {
        return Parsed::Malformed;
    }
    const QByteArrayView method = requestLine.first(firstSpace);
    const QByteArrayView target = requestLine.sliced(firstSpace + 1, lastSpace - firstSpace - 1);
    const QByteArrayView version = requestLine.sliced(lastSpace + 1);
    if (!isToken(method) || (version != "HTTP/1.1" && version != "HTTP/1.0") || !target.startsWith('/')) {
        return Parsed::Malformed;
    }
    for (const char c : target) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return Parsed::Malformed;
        }
    }

    QList<QPair<QByteArray, QByteArray>> headers;
    std::optional<qint64> contentLength;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon))) {
            return Parsed::Malformed;  // also a folded line, which starts with white space
        }
        const QByteArray name = line.first(colon).toByteArray();
        const QByteArray value = line.sliced(colon + 1).toByteArray().trimmed();
        if (value.contains('\r') || value.contains('\n')) {
            return Parsed::Malformed;
        }
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            const bool digits = !value.isEmpty() &&
                                std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!ok || !digits || (contentLength && *contentLength != length)) {
                return Parsed::Malformed;
            }
            contentLength = length;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            return Parsed::Malformed;  // request bodies come with a length
        }
        headers.append({name, value});
    }
    const qint64 bodyLength = contentLength.value_or(0);
    if (bodyLength > MaxBodyBytes) {
        return Parsed::Malformed;
    }
    const qsizetype bodyStart = headEnd + 4;
    if (buffer.size() - bodyStart < bodyLength) {
        return Parsed::Incomplete;
    }

    request.method = method.toByteArray();
    request.target = target.toByteArray();
    const qsizetype question = request.target.indexOf('?');
    request.path = question < 0 ? request.target : request.target.first(question);
    request.rawQuery = question < 0 ? QByteArray() : request.target.sliced(question + 1);
    request.headers = headers;
    request.body = buffer.sliced(bodyStart, bodyLength);
    request.query = decodePairs(request.rawQuery, false);
    request.form = decodePairs(request.body, true);
    const bool http10 = version == "HTTP/1.0";
    buffer.remove(0, bodyStart + bodyLength);

    close = http10;
    for (const auto& [name, value] : std::as_const(request.headers)) {
        if (name.compare("Connection", Qt::CaseInsensitive) != 0) {
            continue;
        }
        for (const QByteArray& option : value.split(',')) {
            const QByteArray word = option.trimmed();
            if (word.compare("close", Qt::CaseInsensitive) == 0) {
                close = true;
            } else if (word.compare("keep-alive", Qt::CaseInsensitive) == 0 && http10) {
                close = false;
            }
        }
    }
    return Parsed::Complete;
}

QByteArray reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 102:
            return "Processing";
        case 103:
            return "Early Hints";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 304:
            return "Not Modified";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            break;
    }
    if (status >= 200 && status < 300) {
        return "OK";
    }
    if (status >= 400 && status < 500) {
        return "Client Error";
    }
    if (status >= 500) {
        return "Server Error";
    }
    return "Status";
}

QByteArray errorPage(int status) {
    const QByteArray title = QByteArray::number(status) + ' ' + reasonPhrase(status);
    return "<html><head><title>" + title + "</title></head><body><h1>" + reasonPhrase(status) + "</h1></body></html>";
}

QByteArray contentTypeFor(const QByteArray& path) {
    if (path == PathSearch) {
        return Json;
    }
    if (path == PathSignIn || path == PathPrice || path == PathPause) {
        return TextPlain;
    }
    return TextHtml;
}

QByteArray answerHead(int status, const QByteArray& contentType, qint64 length, bool close, const QByteArray& headers) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    head += "Content-Type: " + contentType + "\r\n";
    head += length < 0 ? QByteArray("Transfer-Encoding: chunked\r\n")
                       : "Content-Length: " + QByteArray::number(length) + "\r\n";
    head += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    head += headers;
    head += "\r\n";
    return head;
}

QByteArray answerBytes(const Answer& answer, bool close, const QByteArray& headers) {
    return answerHead(answer.status, answer.contentType, answer.body.size(), close, answer.headers + headers) +
           answer.body;
}

}  // namespace sim
