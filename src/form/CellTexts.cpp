// The grid's cell text store (CellTexts in FlexGrid.h): short texts inside their reference, longer ones in chunks
// of UTF-8 that never move, a column's repeated text kept once, and the compaction of replaced texts.

#include "FlexGrid.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>

CellTexts::CellTexts() = default;
CellTexts::~CellTexts() = default;

namespace {

constexpr std::size_t ChunkBytes = 1 << 20;

// The UTF-8 of a text into `out` (room for three bytes a unit); false when it holds a lone surrogate.
bool toUtf8(QStringView text, char* out, std::size_t* length) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    const char16_t* p = text.utf16();
    const char16_t* end = p + text.size();
    while (p != end) {
        char32_t u = *p++;
        if (u < 0x80) {
            *o++ = (unsigned char)u;
        } else if (u < 0x800) {
            *o++ = (unsigned char)(0xC0 | (u >> 6));
            *o++ = (unsigned char)(0x80 | (u & 0x3F));
        } else if (u < 0xD800 || u > 0xDFFF) {
            *o++ = (unsigned char)(0xE0 | (u >> 12));
            *o++ = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
            *o++ = (unsigned char)(0x80 | (u & 0x3F));
        } else {
            if (u > 0xDBFF || p == end || *p < 0xDC00 || *p > 0xDFFF)
                return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (*p++ - 0xDC00);
            *o++ = (unsigned char)(0xF0 | (u >> 18));
            *o++ = (unsigned char)(0x80 | ((u >> 12) & 0x3F));
            *o++ = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
            *o++ = (unsigned char)(0x80 | (u & 0x3F));
        }
    }
    *length = std::size_t(o - reinterpret_cast<unsigned char*>(out));
    return true;
}

}  // namespace

CellTexts::Ref CellTexts::keep(QStringView text, bool null, int col) {
    if (null)
        return 0;
    // Up to three bytes of UTF-8 a unit; a short text is made on the stack.
    char small[3 * 16];
    std::unique_ptr<char[]> large;
    char* out = small;
    if (std::size_t(text.size()) > sizeof small / 3) {
        large = std::make_unique<char[]>(std::size_t(text.size()) * 3);
        out = large.get();
    }
    std::size_t length = 0;
    if (!toUtf8(text, out, &length))
        return store(text.utf16(), std::size_t(text.size()) * 2, Utf16Tag, col);
    return keepUtf8(QByteArrayView(out, qsizetype(length)), col);
}

CellTexts::Ref CellTexts::keepUtf8(QByteArrayView utf8, int col) {
    if (utf8.isNull())
        return 0;
    if (utf8.size() <= 7) {
        Ref ref = InlineTag | Ref(utf8.size()) << 56;
        for (qsizetype i = 0; i < utf8.size(); ++i)
            ref |= Ref(static_cast<unsigned char>(utf8[i])) << (8 * i);
        return ref;
    }
    return store(utf8.data(), std::size_t(utf8.size()), Utf8Tag, col);
}

CellTexts::Ref CellTexts::store(const void* data, std::size_t bytes, Ref tag, int col) {
    if (last_.size() <= std::size_t(col))
        last_.resize(std::size_t(col) + 1, 0);
    // The text last kept for the column, when it is the same, is kept once for both.
    if (const Ref last = last_[std::size_t(col)]; last != 0 && (last & (Ref(0xFF) << 56)) == tag) {
        quint32 length = 0;
        const char* kept = at(last, &length);
        if (length == bytes && std::memcmp(kept, data, bytes) == 0)
            return last;
    }
    if (bytes > std::numeric_limits<quint32>::max())
        throw std::bad_alloc();
    const std::size_t need = sizeof(quint32) + bytes;
    std::size_t chunk = 0, offset = 0;
    if (need > ChunkBytes / 4) {
        // A long text gets a chunk of its own.
        chunks_.push_back(std::make_unique<char[]>(need));
        chunkSizes_.push_back(need);
        chunk = chunks_.size() - 1;
    } else {
        if (current_ < 0 || used_ + need > ChunkBytes) {
            chunks_.push_back(std::make_unique<char[]>(ChunkBytes));
            chunkSizes_.push_back(ChunkBytes);
            current_ = int(chunks_.size() - 1);
            used_ = 0;
        }
        chunk = std::size_t(current_);
        offset = used_;
        // The next text starts two-byte aligned, for UTF-16.
        used_ += (need + 1) & ~std::size_t(1);
    }
    if (chunk >= (std::size_t(1) << 24))
        throw std::bad_alloc();
    char* p = chunks_[chunk].get() + offset;
    const auto length = quint32(bytes);
    std::memcpy(p, &length, sizeof length);
    std::memcpy(p + sizeof length, data, bytes);
    kept_ += need;
    const Ref ref = tag | Ref(chunk) << 32 | Ref(offset);
    last_[std::size_t(col)] = ref;
    return ref;
}

const char* CellTexts::at(Ref ref, quint32* length) const {
    const char* p = chunks_[std::size_t((ref >> 32) & 0xFFFFFF)].get() + std::size_t(ref & 0xFFFFFFFF);
    std::memcpy(length, p, sizeof *length);
    return p + sizeof *length;
}

QString CellTexts::text(Ref ref) const {
    if (ref == 0)
        return QString();
    const Ref tag = ref & (Ref(0xFF) << 56);
    if (tag == Utf8Tag || tag == Utf16Tag) {
        quint32 length = 0;
        const char* p = at(ref, &length);
        if (tag == Utf8Tag)
            return QString::fromUtf8(p, qsizetype(length));
        QString out(qsizetype(length / 2), Qt::Uninitialized);
        std::memcpy(out.data(), p, length);
        return out;
    }
    char bytes[8];
    const auto n = qsizetype((ref >> 56) & 0x7);
    for (qsizetype i = 0; i < n; ++i)
        bytes[i] = char((ref >> (8 * i)) & 0xFF);
    return n == 0 ? QStringLiteral("") : QString::fromUtf8(bytes, n);
}

void CellTexts::dropped(Ref ref) {
    const Ref tag = ref & (Ref(0xFF) << 56);
    if (tag != Utf8Tag && tag != Utf16Tag)
        return;
    quint32 length = 0;
    at(ref, &length);
    garbage_ += sizeof length + length;
}

bool CellTexts::wantsCompaction() const {
    return garbage_ > (std::size_t(8) << 20) && garbage_ > kept_ / 2;
}

void CellTexts::compact(std::vector<Ref>& refs) {
    CellTexts fresh;
    QHash<Ref, Ref> moved;
    for (Ref& ref : refs) {
        const Ref tag = ref & (Ref(0xFF) << 56);
        if (tag != Utf8Tag && tag != Utf16Tag)
            continue;
        auto it = moved.find(ref);
        if (it == moved.end()) {
            quint32 length = 0;
            const char* p = at(ref, &length);
            it = moved.insert(ref, fresh.store(p, length, tag, 0));
        }
        ref = *it;
    }
    chunks_ = std::move(fresh.chunks_);
    chunkSizes_ = std::move(fresh.chunkSizes_);
    used_ = fresh.used_;
    current_ = fresh.current_;
    kept_ = fresh.kept_;
    garbage_ = 0;
    last_.clear();
}

std::size_t CellTexts::bytes() const {
    std::size_t n = last_.capacity() * sizeof(Ref) + chunks_.capacity() * sizeof(void*);
    for (std::size_t s : chunkSizes_)
        n += s;
    return n;
}
