// "schema.xml" as the loader reads it: any bytes leave a schema that is
// valid or says it is not.
#include "bus/Schema.h"
#include "foundation/Log.h"
#include "support/ScratchFile.h"

#include <cstdint>

using velt::ZRV480::Bus::Schema;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static bool const quiet = (Log::setLevel(Log::Level::Error), true);
    static fuzzsupport::ScratchFile const file("schema.xml");
    (void)quiet;

    file.write(data, size);
    Schema const schema(file.path());
    if (schema.isValid()) {
        (void)schema.getBoardNames();
        (void)schema.getHash();
    }
    return 0;
}
