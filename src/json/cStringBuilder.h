#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <memory>

// A text buffer that grows in whole chunks (8192 characters unless told otherwise) so that appending a short
// piece costs one block move of that piece. Counts and positions are in UTF-16 code units; inside, sizes are
// kept in bytes, two per character. Range faults raise vb::Error (5, 6 or 9) and leave the builder unchanged.
class cStringBuilder {
  public:
    cStringBuilder() = default;
    cStringBuilder(const cStringBuilder& other);
    cStringBuilder& operator=(const cStringBuilder& other);
    cStringBuilder(cStringBuilder&&) noexcept = default;
    cStringBuilder& operator=(cStringBuilder&&) noexcept = default;

    int32_t Length() const { return UsedBytes / 2; }
    int32_t Capacity() const { return CapacityBytes / 2; }
    int32_t ChunkSize() const { return ChunkBytes / 2; }
    // Sets the growth step for later growths; zero or less is refused with error 5.
    void ChunkSize(int32_t iChunkSize);

    QString toString() const;
    // The content without a copy; valid until the next change of the builder.
    QStringView view() const { return QStringView(Buffer.get(), Length()); }

    // Replaces the whole content (the write side of the TheString property).
    void TheString(QStringView sThis);
    void Clear();
    void AppendNL(QStringView sThis);
    void Append(QStringView sThis);
    void Append(QChar c) { Append(QStringView(&c, 1)); }
    void AppendByVal(QString sThis) { Append(QStringView(sThis)); }
    void Insert(int32_t iIndex, QStringView sThis);
    void InsertByVal(int32_t iIndex, QString sThis) { Insert(iIndex, QStringView(sThis)); }
    void Remove(int32_t iIndex, int32_t lLen);
    // Position (from 1) of the first occurrence of sToFind at or after lStartIndex, or 0.
    // compare 0 compares code units exactly, 1 ignores letter case; other modes raise error 5.
    int32_t Find(QStringView sToFind, int32_t lStartIndex = 1, int compare = 1) const;
    void HeapMinimize();

  private:
    // Reallocates the storage to newCapacityBytes, keeping the content and filling new room with spaces.
    void resizeStorage(int32_t newCapacityBytes);
    // Grows by whole chunks until the storage holds needBytes.
    void growFor(int32_t needBytes);
    bool aliases(QStringView s) const;

    std::unique_ptr<char16_t[]> Buffer;
    int32_t ChunkBytes = 16384;
    int32_t UsedBytes = 0;
    int32_t CapacityBytes = 0;
};
