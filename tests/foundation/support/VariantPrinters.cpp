#include "support/VariantPrinters.h"

void PrintTo(Variant const& value, std::ostream* out) {
    *out << "Variant(" << static_cast<int>(value.type()) << ", \"" << value.toString() << "\")";
}

void PrintTo(VariantMap const& map, std::ostream* out) {
    *out << "\n" << map.toString();
}
