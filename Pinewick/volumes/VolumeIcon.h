// The application's icon on a mounted volume, in the forms Linux file managers read for a folder:
//  - a copy of the icon at the volume's root, ".VolumeIcon.svg" (as a macOS volume carries
//    ".VolumeIcon.icns"), so the volume shows it wherever it is mounted;
//  - ".directory", the desktop entry KDE's file managers read for a folder's icon, pointing at that
//    copy relative to the folder ("Icon=./.VolumeIcon.svg"); what else they keep there (view settings)
//    is left as it is;
//  - GNOME's file manager reads the GIO attribute "metadata::custom-icon" instead. GIO keeps
//    "metadata::" attributes in gvfs's per-user database (~/.local/share/gvfs-metadata, by path), not
//    in the file system, and GIO without gvfs refuses to set them at all: the attribute is set (by the
//    `gio` tool) only where gvfs's metadata service is installed, and its absence is logged once.
// None of these files is ever synchronised (TimeLineManager::inIgnoreList keeps them out).
//
// Thread-safety: `brand` may run for several volumes at once; each call writes under its own root.
#pragma once

#include <string>

namespace tw {

class VolumeIcon {
public:
    static constexpr const char* kIconFile = ".VolumeIcon.svg";
    static constexpr const char* kDirectoryFile = ".directory";
    // Where the installed icon is found, relative to the folder of the running program (its
    // <prefix>/bin): <prefix>/share/tidewell/VolumeIcon.svg. The build tree has the same layout.
    static constexpr const char* kShippedIcon = "/../share/tidewell/VolumeIcon.svg";
    // The D-Bus service of gvfs's metadata daemon, looked for under the XDG data folders.
    static constexpr const char* kGvfsMetadataService = "dbus-1/services/org.gtk.vfs.Metadata.service";

    // The shipped icon's path.
    static std::string shippedIcon();

    // Gives the folder `root` (a mounted volume) the application's icon: the copy, the desktop entry
    // and, where gvfs runs, GNOME's attribute. Files already as they should be are not written again.
    // False when the icon is not installed or the volume could not take it (logged); the mount goes on
    // without it.
    static bool brand(const std::string& root);
};

}  // namespace tw
