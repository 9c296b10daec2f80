#include "common/pe_image.h"

#include <cstdint>
#include <optional>

namespace {

constexpr uint16_t kDllCharacteristic = 0x2000;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kLongestExportedName = 512;

// Little-endian reads that fail past the end instead of reading beyond it.
class Image {
public:
    explicit Image(std::string_view bytes) : bytes_(bytes) {}

    std::optional<uint32_t> U32(uint64_t offset) const { return Read(offset, 4); }
    std::optional<uint32_t> U16(uint64_t offset) const { return Read(offset, 2); }
    std::optional<std::string_view> Text(uint64_t offset) const {
        if (offset >= bytes_.size())
            return std::nullopt;
        std::string_view rest = bytes_.substr(static_cast<size_t>(offset));
        size_t end = rest.find('\0');
        if (end == std::string_view::npos || end > kLongestExportedName)
            return std::nullopt;
        return rest.substr(0, end);
    }

private:
    std::optional<uint32_t> Read(uint64_t offset, int size) const {
        if (offset > bytes_.size() || bytes_.size() - offset < static_cast<uint64_t>(size))
            return std::nullopt;
        uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value =
                value << 8 | static_cast<unsigned char>(bytes_[static_cast<size_t>(offset) + i]);
        return value;
    }

    std::string_view bytes_;
};

struct Sections {
    uint64_t table = 0; // file offset of the first section header
    uint32_t count = 0;
};

// The file offset of a relative virtual address, by the section that holds it.
std::optional<uint64_t> FileOffsetOf(const Image& image, const Sections& sections, uint32_t rva) {
    for (uint32_t i = 0; i < sections.count; ++i) {
        const uint64_t header = sections.table + uint64_t{i} * kSectionHeaderSize;
        auto virtualSize = image.U32(header + 8);
        auto virtualAddress = image.U32(header + 12);
        auto rawSize = image.U32(header + 16);
        auto rawOffset = image.U32(header + 20);
        if (!virtualSize || !virtualAddress || !rawSize || !rawOffset)
            return std::nullopt;
        const uint64_t extent = *virtualSize > *rawSize ? *virtualSize : *rawSize;
        if (rva >= *virtualAddress && rva - *virtualAddress < extent)
            return uint64_t{*rawOffset} + (rva - *virtualAddress);
    }
    return std::nullopt;
}

} // namespace

bool DllExportsName(std::string_view bytes, std::string_view name) {
    const Image image(bytes);
    if (image.U16(0) != 0x5A4D) // "MZ"
        return false;
    auto peOffset = image.U32(0x3C);
    if (!peOffset || image.U32(*peOffset) != 0x00004550) // "PE\0\0"
        return false;
    const uint64_t coff = uint64_t{*peOffset} + 4;
    auto sectionCount = image.U16(coff + 2);
    auto optionalSize = image.U16(coff + 16);
    auto characteristics = image.U16(coff + 18);
    if (!sectionCount || !optionalSize || !characteristics ||
        !(*characteristics & kDllCharacteristic))
        return false;
    const uint64_t optional = coff + 20;
    auto magic = image.U16(optional);
    if (magic != kPe32Magic && magic != kPe32PlusMagic)
        return false;
    const uint64_t directories = optional + (magic == kPe32Magic ? 96 : 112);
    auto directoryCount = image.U32(directories - 4);
    if (!directoryCount || *directoryCount == 0 || directories + 8 > coff + 20 + *optionalSize)
        return false;
    auto exportRva = image.U32(directories);
    if (!exportRva || *exportRva == 0)
        return false;
    const Sections sections{optional + *optionalSize, *sectionCount};
    auto exports = FileOffsetOf(image, sections, *exportRva);
    if (!exports)
        return false;
    auto nameCount = image.U32(*exports + 24);
    auto namesRva = image.U32(*exports + 32);
    if (!nameCount || !namesRva)
        return false;
    auto names = FileOffsetOf(image, sections, *namesRva);
    for (uint32_t i = 0; names && i < *nameCount; ++i) {
        auto nameRva = image.U32(*names + uint64_t{i} * 4);
        if (!nameRva)
            return false;
        auto offset = FileOffsetOf(image, sections, *nameRva);
        auto text = offset ? image.Text(*offset) : std::nullopt;
        if (text && *text == name)
            return true;
    }
    return false;
}
