#pragma once

#include <string>

namespace velt::ZRV480::BoardManager::Common {

std::string getProjectDescription();
std::string getProjectVersion();
// In the compiler's date and time macro forms ("Dec 10 2026", "15:12:26").
std::string getProgramBuildDate();
std::string getProgramBuildTime();
std::string getDefaultConfigFile();
std::string getDefaultBaseTopic();

} // namespace velt::ZRV480::BoardManager::Common
