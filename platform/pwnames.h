// Names that gatewarden (the file watcher) and the application must spell alike: the folders a
// desktop or an indexer keeps at the top of a volume, which neither side ever synchronises or reports,
// and the attribute that records a volume's UUID on its root folder. Like pwevent.h this is part of the
// contract between the two programs, so it holds constants only.
//
// Thread-safety: nothing here has state.
#pragma once

namespace tw::pw {

// Top-level folders of a volume that belong to the system, not to the user. Neither side reports,
// queues or uploads anything inside them.
inline constexpr const char* kVolumeSystemFolders[] = {".Spotlight-V100", ".fseventsd",
                                                       ".DocumentRevisions-V100", ".TemporaryItems"};

// Extended attribute on a volume's root folder holding the volume's UUID (upper-case, hyphenated).
// Given without a namespace, as platform/files.h takes attribute names; it lives in "user.".
inline constexpr char kVolumeUUIDAttribute[] = "com.meridot.tidewell.volumeuuid";

}  // namespace tw::pw
