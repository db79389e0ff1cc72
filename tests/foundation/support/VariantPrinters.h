#pragma once

#include <ostream>

#include "foundation/Variant.h"
#include "foundation/VariantMap.h"

// Readable failure messages for setting values: tag number and text.
void PrintTo(Variant const& value, std::ostream* out);
void PrintTo(VariantMap const& map, std::ostream* out);
