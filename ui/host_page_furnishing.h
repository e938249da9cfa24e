#pragma once

namespace qvex {

class HostPage;
class HostList;
class RestartDatabase;
class Settings;
class StatisticsDatabase;

// Gives the Host page its toolbar and its panes (activity meters, the selected host's
// statistics, ping and traceroute) and keeps them in step with the page: the selection, the
// session's start and end, each counted transfer, changes the toolbar's tools made.
// `statistics` and `restart` may be null.
void FurnishHostPage(HostPage& page, Settings& settings, HostList& hosts,
                     StatisticsDatabase* statistics, RestartDatabase* restart, int iconSize);

}  // namespace qvex
