#pragma once

#include <memory>

#include "engine/session_worker.h"
#include "search/site_search.h"
#include "state/hosts/host_list.h"
#include "state/restart_database.h"
#include "state/statistics_database.h"
#include "transfer/listing_cache.h"

namespace qvex {

class ProgramState;

// What the host page of a run stands on: the restart database with its slot claimed, the
// statistics database and the loaded host list (both left out without a data folder, the
// list then without last connect times), and the session's command handlers over one listing
// cache, site search included, with the search windows they deliver to. Problems opening the
// stores are logged.
class HostStores {
  public:
    explicit HostStores(ProgramState& state);
    HostStores(const HostStores&) = delete;
    HostStores& operator=(const HostStores&) = delete;
    // Releases a current slot with nothing pending, then closes the restart database.
    ~HostStores();

    RestartDatabase* restart() { return restart_.get(); }
    StatisticsDatabase* statistics() { return statistics_.get(); }
    HostList& hosts() { return hosts_; }
    ListingCache& cache() { return cache_; }
    const CommandHandlers& handlers() const { return handlers_; }
    // Where the site-search handler sends its results: each search dialog registers here.
    SearchReceivers& searchReceivers() { return searchReceivers_; }
    // The claimed slot holds an interrupted transfer: the resume button shows.
    bool resumeShown() const { return resumeShown_; }

  private:
    std::unique_ptr<RestartDatabase> restart_;
    std::unique_ptr<StatisticsDatabase> statistics_;
    HostList hosts_;
    ListingCache cache_;
    SearchReceivers searchReceivers_;
    CommandHandlers handlers_;
    bool resumeShown_ = false;
};

}  // namespace qvex
