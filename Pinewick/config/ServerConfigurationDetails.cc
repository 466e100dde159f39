#include "Pinewick/config/ServerConfigurationDetails.h"

#include "Pinewick/config/Logger.h"
#include "platform/places.h"

namespace tw {

ServerConfigurationDetails& ServerConfigurationDetails::sharedInstance() {
    static ServerConfigurationDetails* shared = new ServerConfigurationDetails();
    return *shared;
}

ServerConfigurationDetails::ServerConfigurationDetails() {
    TW_TRACE_IN("init()");
    supportFolder = platform::dataHome() + "/Tidewell/";
    platform::makeFolders(supportFolder);
    recoveryFolder = platform::expandTilde("~/Tidewell/Salvage");
    TW_TRACE_OUT("init()");
}

}  // namespace tw
