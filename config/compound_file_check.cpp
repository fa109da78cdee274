#include "compound_file_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr size_t kHeaderSize = 512;  // the part of the first sector the header uses
constexpr size_t kEntrySize = 128;
constexpr uint32_t kMiniSectorSize = 64;

class CompoundFile {
  public:
    explicit CompoundFile(const std::string& bytes) : bytes_(bytes) {}

    bool Check() {
        return ReadHeader() && ReadFat() && ReadDirectory() && CheckTree() && CheckStreams();
    }

  private:
    uint32_t U32(size_t at) const {
        uint32_t v;
        memcpy(&v, bytes_.data() + at, 4);
        return v;
    }
    uint16_t U16(size_t at) const {
        uint16_t v;
        memcpy(&v, bytes_.data() + at, 2);
        return v;
    }
    // The header fills sector -1, whatever the sector size.
    size_t SectorOffset(uint32_t sector) const { return (size_t{sector} + 1) * sectorSize_; }
    bool ValidSector(uint32_t sector) const { return sector < sectorCount_; }

    bool ReadHeader() {
        static const unsigned char kSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        if (bytes_.size() < kHeaderSize || memcmp(bytes_.data(), kSignature, 8) != 0) return false;
        if (U16(28) != 0xFFFE) return false;
        const uint16_t shift = U16(30);
        if (shift != 9 && shift != 12) return false;
        if (U16(32) != 6) return false;  // 64-byte mini sectors
        sectorSize_ = size_t{1} << shift;
        const size_t whole = bytes_.size() / sectorSize_;
        if (whole == 0 || whole - 1 > 0xFFFFFFF0u) return false;
        sectorCount_ = static_cast<uint32_t>(whole - 1);
        fatSectors_ = U32(44);
        firstDirectory_ = U32(48);
        miniCutoff_ = U32(56);
        firstMiniFat_ = U32(60);
        miniFatSectors_ = U32(64);
        firstDifat_ = U32(68);
        difatSectors_ = U32(72);
        return fatSectors_ <= sectorCount_ && miniCutoff_ == 4096;
    }

    // Every FAT sector named by the header's and the chained DIFAT entries, within the file.
    bool ReadFat() {
        std::vector<uint32_t> fatSectors;
        for (size_t i = 0; i < 109 && fatSectors.size() < fatSectors_; ++i)
            fatSectors.push_back(U32(76 + 4 * i));
        uint32_t difat = firstDifat_;
        const size_t perSector = sectorSize_ / 4 - 1;
        for (uint32_t n = 0; n < difatSectors_ && fatSectors.size() < fatSectors_; ++n) {
            if (!ValidSector(difat)) return false;
            const size_t at = SectorOffset(difat);
            for (size_t i = 0; i < perSector && fatSectors.size() < fatSectors_; ++i)
                fatSectors.push_back(U32(at + 4 * i));
            difat = U32(at + 4 * perSector);
        }
        if (fatSectors.size() != fatSectors_) return false;
        fat_.reserve(fatSectors.size() * (sectorSize_ / 4));
        for (uint32_t sector : fatSectors) {
            if (!ValidSector(sector)) return false;
            const size_t at = SectorOffset(sector);
            for (size_t i = 0; i < sectorSize_ / 4; ++i) fat_.push_back(U32(at + 4 * i));
        }
        return true;
    }

    // The sectors of a chain in `table` from `start`, each within `limit` and none twice; at
    // most `most` of them. Empty and false on any fault.
    static bool Chain(const std::vector<uint32_t>& table, uint32_t start, uint32_t limit,
                      size_t most, std::vector<uint32_t>& sectors) {
        sectors.clear();
        std::vector<bool> seen(limit, false);
        for (uint32_t s = start; s != kEndOfChain;) {
            if (s >= limit || s >= table.size() || seen[s] || sectors.size() >= most) return false;
            seen[s] = true;
            sectors.push_back(s);
            s = table[s];
        }
        return true;
    }

    bool ReadDirectory() {
        if (!Chain(fat_, firstDirectory_, sectorCount_, sectorCount_, directorySectors_))
            return false;
        if (directorySectors_.empty()) return false;
        entryCount_ = directorySectors_.size() * (sectorSize_ / kEntrySize);
        return true;
    }

    size_t EntryOffset(uint32_t entry) const {
        const size_t perSector = sectorSize_ / kEntrySize;
        return SectorOffset(directorySectors_[entry / perSector]) +
               (entry % perSector) * kEntrySize;
    }

    // From the root: every child, left and right link names an entry of the directory, and
    // no entry is reached twice.
    bool CheckTree() {
        const size_t root = EntryOffset(0);
        if (bytes_[root + 66] != 5) return false;  // the root storage
        std::vector<bool> seen(entryCount_, false);
        std::vector<uint32_t> pending{0};
        seen[0] = true;
        while (!pending.empty()) {
            const uint32_t entry = pending.back();
            pending.pop_back();
            const size_t at = EntryOffset(entry);
            const uint16_t nameBytes = U16(at + 64);
            const uint8_t type = static_cast<uint8_t>(bytes_[at + 66]);
            if (nameBytes > 64 || (type != 1 && type != 2 && type != 5)) return false;
            if (type == 2) streams_.push_back(entry);
            const size_t links[] = {at + 68, at + 72, at + 76};  // left, right, child
            for (size_t link : links) {
                const uint32_t next = U32(link);
                if (next == kNoStream) continue;
                if (next >= entryCount_ || seen[next]) return false;
                seen[next] = true;
                pending.push_back(next);
            }
        }
        return true;
    }

    // Each stream's chain (in the FAT, or for small ones in the mini FAT within the root's
    // mini stream) is sound and long enough for the stream's size.
    bool CheckStreams() {
        const size_t root = EntryOffset(0);
        std::vector<uint32_t> miniStream, miniFatSectors;
        if (!Chain(fat_, U32(root + 116), sectorCount_, sectorCount_, miniStream)) return false;
        std::vector<uint32_t> miniFat;
        if (miniFatSectors_ != 0) {
            if (!Chain(fat_, firstMiniFat_, sectorCount_, sectorCount_, miniFatSectors))
                return false;
            for (uint32_t sector : miniFatSectors)
                for (size_t i = 0; i < sectorSize_ / 4; ++i)
                    miniFat.push_back(U32(SectorOffset(sector) + 4 * i));
        }
        const uint32_t miniSectors =
            static_cast<uint32_t>(miniStream.size() * (sectorSize_ / kMiniSectorSize));
        std::vector<uint32_t> sectors;
        for (uint32_t entry : streams_) {
            const size_t at = EntryOffset(entry);
            const uint64_t size =
                U32(at + 120) | (sectorSize_ == 512 ? 0 : uint64_t{U32(at + 124)} << 32);
            if (size == 0) continue;
            const uint32_t start = U32(at + 116);
            if (size < miniCutoff_) {
                const size_t needed = (size + kMiniSectorSize - 1) / kMiniSectorSize;
                if (!Chain(miniFat, start, miniSectors, miniSectors, sectors) ||
                    sectors.size() < needed)
                    return false;
            } else {
                const size_t needed = static_cast<size_t>((size + sectorSize_ - 1) / sectorSize_);
                if (needed > sectorCount_ ||
                    !Chain(fat_, start, sectorCount_, sectorCount_, sectors) ||
                    sectors.size() < needed)
                    return false;
            }
        }
        return true;
    }

    const std::string& bytes_;
    size_t sectorSize_ = 512;
    uint32_t sectorCount_ = 0;
    uint32_t fatSectors_ = 0, firstDirectory_ = 0, miniCutoff_ = 0, firstMiniFat_ = 0;
    uint32_t miniFatSectors_ = 0, firstDifat_ = 0, difatSectors_ = 0;
    std::vector<uint32_t> fat_, directorySectors_, streams_;
    size_t entryCount_ = 0;
};

}  // namespace

bool IsSoundCompoundFile(const std::string& bytes) {
    try {
        return CompoundFile(bytes).Check();
    } catch (...) {
        return false;  // no memory for the tables: not trusted either
    }
}
