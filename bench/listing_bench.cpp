// Every line of a LIST reply goes through parseListingLine on the session thread, so large
// directories (tens of thousands of entries) are parsed at the speed of this loop. The mix is
// what ls-style servers send: recent and old dates, links, folders, long and spaced names.
#include "transfer/listing_parser.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <vector>

#include "transfer/listing_language.h"

namespace {

// 1 March 2007 at noon UTC: every year-less date below is in the past.
constexpr int64_t kNow = 1'172'750'400;

const std::vector<std::string>& UnixLines() {
    static const std::vector<std::string> lines = {
        "-rw-r--r--   1 ftp      ftp          1234 Jan 15 10:42 read me.txt",
        "drwxr-xr-x   2 ftp      ftp          4096 Feb 01 09:00 pub",
        "drwxr-sr-x   5 root     staff         512 Mar  3  2004 incoming",
        "lrwxrwxrwx   1 root     root           11 Jan  1 00:00 latest -> release/1.2",
        "-rw-r--r--   1 995      994      734003200 Dec 24  2006 debian-4.0r0-i386-CD-1.iso",
        "-rw-r--r--   1 jun      staff        2048 Feb 20 09:15 notes.txt",
        "-rwxr-xr-x   1 user     group       18944 Nov 11 23:59 configure",
        "-rw-r--r--   1 ftp      ftp      12345678 Oct 31  2005 linux-2.6.14.tar.bz2",
        "-rw-rw-r--   1 1000     1000           37 Feb 28 13:37 a file with several words.txt",
        "drwxrwxrwt   9 root     root          260 Jan 31 17:05 tmp",
        "-rw-r--r--   1 ftp      ftp       1048576 Jan 02 08:00 ChangeLog",
        "-rwsr-xr-x   1 root     root        54256 Jun 08  2006 passwd",
    };
    return lines;
}

void BM_ParseUnixLines(benchmark::State& state) {
    if (!qvex::loadListingLanguage(qvex::kDefaultListingLanguage)) {
        state.SkipWithError("US English could not be loaded");
        return;
    }
    const std::vector<std::string>& lines = UnixLines();
    std::string pending;
    size_t parsed = 0;
    for (auto _ : state) {
        for (const std::string& line : lines) {
            qvex::RemoteEntry entry;
            bool ok = qvex::parseListingLine(line, pending, entry, kNow);
            benchmark::DoNotOptimize(ok);
            benchmark::DoNotOptimize(entry);
            parsed += ok ? 1 : 0;
        }
    }
    if (parsed != lines.size() * static_cast<size_t>(state.iterations())) {
        state.SkipWithError("a line of the mix gave no entry");
        return;
    }
    state.SetItemsProcessed(static_cast<int64_t>(lines.size()) * state.iterations());
}
BENCHMARK(BM_ParseUnixLines);

}  // namespace
