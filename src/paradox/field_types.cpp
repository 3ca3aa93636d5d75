#include "paradox/table.h"

#include <string>

namespace qm::paradox {

bool isKnownFieldType(std::uint8_t code) {
    switch (code) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x09:
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x0F:
    case 0x10:
    case 0x14:
    case 0x15:
    case 0x16:
    case 0x17:
    case 0x18:
        return true;
    default:
        return false;
    }
}

bool hasTextForm(FieldType type) {
    switch (type) {
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
    case FieldType::Bytes:
        return false;
    default:
        return true;
    }
}

bool isBlobType(FieldType type) {
    switch (type) {
    case FieldType::Memo:
    case FieldType::Binary:
    case FieldType::FormattedMemo:
    case FieldType::Ole:
    case FieldType::Graphic:
        return true;
    default:
        return false;
    }
}

char typeLetter(FieldType type) {
    switch (type) {
    case FieldType::Alpha:
        return 'A';
    case FieldType::Date:
        return 'D';
    case FieldType::Short:
        return 'S';
    case FieldType::Long:
        return 'I';
    case FieldType::Money:
        return '$';
    case FieldType::Number:
        return 'N';
    case FieldType::Logical:
        return 'L';
    case FieldType::Memo:
        return 'M';
    case FieldType::Binary:
        return 'B';
    case FieldType::FormattedMemo:
        return 'F';
    case FieldType::Ole:
        return 'O';
    case FieldType::Graphic:
        return 'G';
    case FieldType::Time:
        return 'T';
    case FieldType::Timestamp:
        return '@';
    case FieldType::Autoinc:
        return '+';
    case FieldType::Bcd:
        return '#';
    case FieldType::Bytes:
        return 'Y';
    }
    return '?';
}

std::size_t recordWidth(FieldType type, std::uint8_t size) {
    return type == FieldType::Bcd ? 17 : size;
}

std::string Header::levelName() const {
    if (fileVersionID == 3)
        return "3.0";
    if (fileVersionID == 4)
        return "3.5";
    if (fileVersionID >= 5 && fileVersionID <= 9)
        return "4.x";
    if (fileVersionID == 10 || fileVersionID == 11)
        return "5.x";
    if (fileVersionID == 12)
        return "7.x";
    return "unknown";
}

} // namespace qm::paradox
