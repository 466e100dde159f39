// The engine's parts as the windows and the command line take them, for tests that build those without
// an engine (which would wire the whole process): the timeline, volume list and account the test hands
// over (its own, or the program's), with a run state and tray state (following the transfers), a
// file-manager bridge, a change scan, an attention list and an error resolution of the test's own, made
// on the sources the engine gives the program's.
#pragma once

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/ContextMenuHandler.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/engine/TreeSync.h"
#include "Pinewick/metadata/ConsistencyCheckDataBase.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/ui/AttentionList.h"
#include "Pinewick/ui/EngineParts.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "support/own_run_state.h"
#include "support/temp_dir.h"

namespace tw::test {

class TestEngineParts {
    static ChangeScan::Options scanOptions(TimeLineManager& timeline, const TempDir& folders) {
        ChangeScan::Options o;
        o.timeline = &timeline;
        o.metadataDatabasePath = MetadataDataBase::sharedInstance().databasePath();
        o.folderDatabasePath = (folders / ChangeScan::kFolderDatabaseName).string();
        return o;
    }

public:
    // `timeline`, `volumes` and `credentials`: the test's own, or the process-wide ones.
    explicit TestEngineParts(TimeLineManager& timeline = TimeLineManager::sharedInstance(),
                             VolumeManager& volumes = VolumeManager::sharedInstance(),
                             ServerCredentials& credentials = ServerCredentials::sharedInstance())
        : timeline(timeline),
          volumes(volumes),
          credentials(credentials),
          run(timeline, credentials),
          contextMenu(timeline, run.state),
          changeScan(scanOptions(timeline, folders)),
          resolution(timeline),
          attention(
              {[&volumes] { return volumes.activeVolumesList(); },
               [] { return SyncFolder::foldersAwaitingConfirmation(); }, AttentionList::ignoredBy(timeline)},
              [this](const StatusBarManager::Attention& a) { run.bar.setAttention(a); }) {
        run.bar.follow(Transfers::shared());
    }

    EngineParts parts() {
        return {timeline,
                run.state,
                volumes,
                credentials,
                ServerConfigurationDetails::sharedInstance(),
                run.bar,
                attention,
                resolution,
                contextMenu,
                changeScan,
                treeSync,
                consistencyDatabase,
                [this] {
                    changeScan.stop();
                    run.state.shutdown({});
                }};
    }

    TimeLineManager& timeline;
    VolumeManager& volumes;
    ServerCredentials& credentials;
    OwnRunState run;  // the run state and tray state the windows show and change, following the transfers
    TempDir folders{"tw-engine-parts"};
    ContextMenuHandler contextMenu;
    ChangeScan changeScan;
    ErrorResolutionManager resolution;
    AttentionList attention;
    ConsistencyCheckDataBase consistencyDatabase{(folders / "consistency.db").string()};
    // Lists through the test's timeline, walking the volumes it was given.
    TreeSync treeSync{{[this](const std::string& f, double fresh, bool urgent,
                              std::function<void(ListingOutcome, std::chrono::steady_clock::duration)> done) {
                           timeline.addListing(f, fresh, urgent, std::move(done));
                       },
                       [this] { return volumes.activeVolumesList(); },
                       [this](const std::string& f) { return timeline.inIgnoreList(f); },
                       [this](std::chrono::milliseconds limit) {
                           timeline.waitUntilIdle(limit);
                           timeline.syncQueue().waitUntilAllOperationsAreFinished(
                               std::chrono::duration_cast<std::chrono::seconds>(limit));
                       }}};
};

}  // namespace tw::test
