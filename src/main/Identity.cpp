#include "main/Identity.h"

namespace velt::ZRV480::BoardManager::Common {

std::string getProjectDescription() {
    return "ZRV480 Board Manager";
}

std::string getProjectVersion() {
    return "3.1.5";
}

std::string getProgramBuildDate() {
    return __DATE__;
}

std::string getProgramBuildTime() {
    return __TIME__;
}

std::string getDefaultConfigFile() {
    return "./zrv480-boardman.json";
}

std::string getDefaultBaseTopic() {
    return "velt/zrv/boardman";
}

} // namespace velt::ZRV480::BoardManager::Common
