// The configuration file read at start-up, whatever it holds, handed to the
// engine's sections; the file is then rewritten from the values in effect.
#include "bus/Schema.h"
#include "config/Config.h"
#include "config/ConfigAdaptor.h"
#include "engine/Engine.h"
#include "foundation/Log.h"
#include "support/ScratchFile.h"

#include <cstdint>
#include <memory>

using velt::ZRV480::BoardManager::Config::Config;
using velt::ZRV480::BoardManager::Manager::ConfigAdaptor;
using velt::ZRV480::BoardManager::Manager::Engine;
using velt::ZRV480::Bus::Schema;

namespace {

// The engine is never started: nothing leaves the process.
struct Service {
    fuzzsupport::ScratchFile file{"zrv480-boardman.json"};
    Schema schema{BM_FIXTURES_DIR "/schema.xml"};
    std::shared_ptr<Config> config = std::make_shared<Config>(file.path());
    std::shared_ptr<Engine> engine =
        std::make_shared<Engine>(schema, Engine::Paths{file.dir(), file.dir() + "/copies"});
    std::shared_ptr<ConfigAdaptor> adaptor = std::make_shared<ConfigAdaptor>(config, engine);

    Service() { config->declareConfigurable(adaptor); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static bool const quiet = (Log::setLevel(Log::Level::Error), true);
    static Service service;
    (void)quiet;

    service.file.write(data, size);
    service.config->update();
    return 0;
}
