#include "cStringBuilder.h"

#include "VbError.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

int32_t checkedAdd(int64_t a, int64_t b) {
    const int64_t sum = a + b;
    if (sum > std::numeric_limits<int32_t>::max() || sum < std::numeric_limits<int32_t>::min()) {
        vb::raise(vb::Overflow);
    }
    return static_cast<int32_t>(sum);
}

int32_t bytesOf(qsizetype characters) {
    if (characters > std::numeric_limits<int32_t>::max() / 2) {
        vb::raise(vb::Overflow);
    }
    return static_cast<int32_t>(characters * 2);
}

}  // namespace

cStringBuilder::cStringBuilder(const cStringBuilder& other)
    : ChunkBytes(other.ChunkBytes), UsedBytes(other.UsedBytes), CapacityBytes(other.CapacityBytes) {
    if (CapacityBytes > 0) {
        Buffer = std::make_unique_for_overwrite<char16_t[]>(CapacityBytes / 2);
        std::memcpy(Buffer.get(), other.Buffer.get(), CapacityBytes);
    }
}

cStringBuilder& cStringBuilder::operator=(const cStringBuilder& other) {
    if (this != &other) {
        cStringBuilder copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void cStringBuilder::ChunkSize(int32_t iChunkSize) {
    if (iChunkSize <= 0) {
        vb::raise(vb::InvalidCall);
    }
    ChunkBytes = bytesOf(iChunkSize);
}

QString cStringBuilder::toString() const {
    if (UsedBytes <= 0) {
        return QString();
    }
    return QString(reinterpret_cast<const QChar*>(Buffer.get()), Length());
}

void cStringBuilder::resizeStorage(int32_t newCapacityBytes) {
    auto fresh = std::make_unique_for_overwrite<char16_t[]>(newCapacityBytes / 2);
    const int32_t keep = std::min(CapacityBytes, newCapacityBytes);
    if (keep > 0) {
        std::memcpy(fresh.get(), Buffer.get(), keep);
    }
    std::fill(fresh.get() + keep / 2, fresh.get() + newCapacityBytes / 2, u' ');
    Buffer = std::move(fresh);
    CapacityBytes = newCapacityBytes;
}

void cStringBuilder::growFor(int32_t needBytes) {
    if (needBytes <= CapacityBytes) {
        return;
    }
    int32_t sum = CapacityBytes;
    while (sum < needBytes) {
        sum = checkedAdd(sum, ChunkBytes);
    }
    resizeStorage(sum);
}

bool cStringBuilder::aliases(QStringView s) const {
    const auto* begin = Buffer.get();
    const auto* p = reinterpret_cast<const char16_t*>(s.data());
    return begin && p >= begin && p < begin + CapacityBytes / 2;
}

void cStringBuilder::TheString(QStringView sThis) {
    const int32_t len = bytesOf(sThis.size());
    if (len == 0) {
        Buffer.reset();
        UsedBytes = 0;
        CapacityBytes = 0;
        return;
    }
    if (aliases(sThis)) {
        const QString copy = sThis.toString();
        TheString(copy);
        return;
    }
    growFor(len);
    std::memmove(Buffer.get(), sThis.utf16(), len);
    UsedBytes = len;
}

void cStringBuilder::Clear() {
    Buffer.reset();
    UsedBytes = 0;
    CapacityBytes = 0;
}

void cStringBuilder::AppendNL(QStringView sThis) {
    Append(sThis);
    Append(u"\r\n");
}

void cStringBuilder::Append(QStringView sThis) {
    const int32_t len = bytesOf(sThis.size());
    if (len == 0) {
        return;
    }
    const int32_t need = checkedAdd(UsedBytes, len);
    if (need > CapacityBytes && aliases(sThis)) {
        const QString copy = sThis.toString();
        Append(copy);
        return;
    }
    growFor(need);
    std::memmove(reinterpret_cast<char*>(Buffer.get()) + UsedBytes, sThis.utf16(), len);
    UsedBytes = need;
}

void cStringBuilder::Insert(int32_t iIndex, QStringView sThis) {
    if (iIndex < 0 || bytesOf(iIndex) > UsedBytes) {
        vb::raise(vb::SubscriptOutOfRange);
    }
    const int32_t len = bytesOf(sThis.size());
    const int32_t need = checkedAdd(UsedBytes, len);
    if (len == 0) {
        return;
    }
    if (aliases(sThis)) {
        const QString copy = sThis.toString();
        Insert(iIndex, copy);
        return;
    }
    growFor(need);
    char* bytes = reinterpret_cast<char*>(Buffer.get());
    const int32_t p = iIndex * 2;
    std::memmove(bytes + p + len, bytes + p, UsedBytes - p);
    std::memmove(bytes + p, sThis.utf16(), len);
    UsedBytes = need;
}

void cStringBuilder::Remove(int32_t iIndex, int32_t lLen) {
    if (iIndex < 0 || lLen < 0 || bytesOf(iIndex) > UsedBytes) {
        vb::raise(vb::SubscriptOutOfRange);
    }
    const int32_t end = bytesOf(static_cast<int64_t>(iIndex) + lLen);
    if (end > UsedBytes) {
        vb::raise(vb::SubscriptOutOfRange);
    }
    char* bytes = reinterpret_cast<char*>(Buffer.get());
    if (lLen > 0) {
        std::memmove(bytes + iIndex * 2, bytes + end, UsedBytes - end);
    }
    UsedBytes -= lLen * 2;
}

int32_t cStringBuilder::Find(QStringView sToFind, int32_t lStartIndex, int compare) const {
    if (compare != 0 && compare != 1) {
        vb::raise(vb::InvalidCall);
    }
    if (sToFind.isEmpty()) {
        return 0;
    }
    const int32_t start = std::max<int32_t>(lStartIndex, 1);
    if (start > Length()) {
        return 0;
    }
    const qsizetype at = view().indexOf(sToFind, start - 1, compare == 0 ? Qt::CaseSensitive : Qt::CaseInsensitive);
    return at < 0 ? 0 : static_cast<int32_t>(at + 1);
}

void cStringBuilder::HeapMinimize() {
    int32_t spare = CapacityBytes - UsedBytes;
    if (spare <= ChunkBytes) {
        return;
    }
    int32_t capacity = CapacityBytes;
    while (spare > ChunkBytes) {
        capacity -= ChunkBytes;
        spare -= ChunkBytes;
    }
    resizeStorage(capacity);
}
