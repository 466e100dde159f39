// Administrator settings and the user's own choices for the same switches, read once at start-up from
// the preferences domain "com.meridot.tidewell". Also owns the support folder where the databases, disk
// images and the saved timeline live.
//
// Thread-safety: written only during start-up (`loadState`) and by the preference panes on the main
// thread; other threads only read.
#pragma once

#include <string>

namespace tw {

class ServerConfigurationDetails {
  public:
    enum class adminButtonOptions { forceOn, forceOff, userDefinedOn, userDefinedOff };

    static ServerConfigurationDetails& sharedInstance();

    // Folder for the application's own files, ending in "/": $XDG_DATA_HOME/Tidewell/. Created with its
    // parents when the object is made (a failure is ignored).
    std::string supportFolder;
    std::string recoveryFolder;

  private:
    ServerConfigurationDetails();
};

}  // namespace tw
