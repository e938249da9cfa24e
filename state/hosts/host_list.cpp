#include "state/hosts/host_list.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "platform/paths.h"
#include "state/secret_codec.h"
#include "state/settings.h"
#include "state/statistics_database.h"
#include "state/url_grammar.h"

namespace qvex {
namespace {

using platform::RegistryChange;

constexpr uint32_t kVersion212 = 0x02010200;
constexpr char kOlderSeparator = ',';
constexpr size_t kMruLines = 8;
constexpr std::string_view kMruFileName = "QvexMRU.txt";

unsigned char Folded(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

// Case-insensitive (ASCII) comparison of whole texts; a text before a longer one it begins.
int CompareFolded(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const unsigned char x = Folded(a[i]);
        const unsigned char y = Folded(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Hosts first (case-blind, the shorter first), then what follows the host, byte by byte.
int CompareByHost(std::string_view a, std::string_view hostA, std::string_view b,
                  std::string_view hostB) {
    if (int order = CompareFolded(hostA, hostB); order != 0) {
        return order;
    }
    const std::string_view restA =
        a.substr(static_cast<size_t>(hostA.data() - a.data()) + hostA.size());
    const std::string_view restB =
        b.substr(static_cast<size_t>(hostB.data() - b.data()) + hostB.size());
    const int order = restA.compare(restB);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

// Where the user part may begin: behind a "scheme://" that comes before any "/" or "@".
size_t AfterScheme(std::string_view text) {
    const size_t scheme = text.find("://");
    if (scheme != std::string_view::npos && text.find_first_of("/@") > scheme) {
        return scheme + 3;
    }
    return 0;
}

// The password's place in a text: after the first ":" and before the last "@" of the part
// before the first "/" (after an optional "scheme://"). nullopt when there is no "@" there or
// no ":" before it.
std::optional<std::pair<size_t, size_t>> PasswordSpan(std::string_view text) {
    const size_t start = AfterScheme(text);
    const size_t authorityEnd = std::min(text.find('/', start), text.size());
    const std::string_view authority = text.substr(start, authorityEnd - start);
    const size_t at = authority.rfind('@');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t colon = authority.find(':');
    if (colon == std::string_view::npos || colon > at) {
        return std::nullopt;
    }
    return std::pair{start + colon + 1, start + at};
}

bool HoldsControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F;
    });
}

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != platform::kPathSeparator) {
        folder += platform::kPathSeparator;
    }
    return folder;
}

}  // namespace

std::string EncodeHostEntryData(std::string_view user, std::string_view password) {
    return EncodeAuthData(user, password);
}

std::optional<std::pair<std::string, std::string>> DecodeHostEntryData(std::string_view data) {
    const size_t comma = data.rfind(kOlderSeparator);
    if (comma == std::string_view::npos) {
        return DecodeAuthData(data);
    }
    std::optional<std::string> password = DecodeSecret(data.substr(comma + 1));
    if (!password) {
        return std::nullopt;
    }
    return std::pair{std::string(data.substr(0, comma)), std::move(*password)};
}

bool UrlMayCarryPassword(std::string_view text) {
    const auto span = PasswordSpan(text);
    return span && span->second > span->first;
}

std::string UrlWithoutPassword(std::string_view text) {
    std::string result(text);
    if (const auto span = PasswordSpan(text)) {
        result.erase(span->first - 1, span->second - span->first + 1);  // with its ":"
    }
    return result;
}

std::optional<std::pair<size_t, size_t>> MaskedPasswordSpan(std::string_view text) {
    const size_t colon = text.find(':', AfterScheme(text));
    const size_t at = text.rfind('@');
    if (colon == std::string_view::npos || at == std::string_view::npos || at <= colon + 1) {
        return std::nullopt;
    }
    return std::pair{colon + 1, at};
}

std::string MaskUrlPassword(std::string_view text) {
    std::string result(text);
    if (const auto span = MaskedPasswordSpan(text)) {
        result.replace(span->first, span->second - span->first, "****");
    }
    for (char& c : result) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F) {
            c = '?';
        }
    }
    return result;
}

std::string HostNameForText(std::string_view url) {
    if ((!url.empty() && url.front() == kEncodedNameMarker) || HoldsControl(url) ||
        UrlMayCarryPassword(url)) {
        return kEncodedNameMarker + EncodeHostName(url);
    }
    return std::string(url);
}

std::string HostNameFromText(std::string_view text) {
    if (!text.empty() && text.front() == kEncodedNameMarker) {
        std::optional<std::string> url = DecodeHostName(text.substr(1));
        if (url && !url->empty()) {
            return std::move(*url);
        }
    }
    return std::string(text);
}

std::string_view HostViewName(int view) {
    switch (view) {
        case kHostViewChronological:
            return "Chronological";
        case kHostViewAlphabetic:
            return "Alphabetic";
        case kHostViewMostRecent:
            return "Most Recently Used";
        default:
            return {};
    }
}

std::string HostViewTip(int view) {
    return "(currently \"" + std::string(HostViewName(view)) + "\")";
}

int ToggleHostView(int view, int pressed) {
    if (pressed != kHostViewAlphabetic && pressed != kHostViewMostRecent) {
        return view;
    }
    return view == pressed ? kHostViewChronological : pressed;
}

int CompareHostUrls(std::string_view a, std::string_view b) {
    const std::optional<std::string_view> hostA = FindUrlHost(a);
    const std::optional<std::string_view> hostB = FindUrlHost(b);
    if (!hostA || !hostB) {
        return CompareFolded(a, b);
    }
    return CompareByHost(a, *hostA, b, *hostB);
}

HostList::HostList(platform::RegistryFile& registry, Settings& settings,
                   StatisticsDatabase* statistics)
    : registry_(registry), settings_(settings), statistics_(statistics) {
    settings_.SetHostListMembership([this](std::string_view url) { return Contains(url); });
}

HostList::~HostList() {
    settings_.SetHostListMembership(nullptr);
}

HostList::Record HostList::MakeRecord(std::string_view url, std::string_view user,
                                      std::string_view password) {
    Record record;
    record.user = std::string(user);
    record.password = std::string(password);
    if (const std::optional<std::string_view> host = FindUrlHost(url)) {
        record.parses = true;
        record.hostBegin = static_cast<size_t>(host->data() - url.data());
        record.hostLength = host->size();
    }
    return record;
}

void HostList::LoadHostList() {
    // Statistics keys are hosts; one pass over the file serves every entry.
    std::map<std::string, uint32_t, std::less<>> lastConnects;
    if (statistics_ != nullptr) {
        for (const HostStatisticsRow& row : statistics_->ReadAllHostStatistics().rows) {
            lastConnects.emplace(row.key, row.statistics.lastConnect);
        }
    }
    std::map<std::string, uint32_t, std::less<>> words;
    for (const platform::RegistryNamedValue& value : registry_.EnumerateValues(kPerHostKey)) {
        std::optional<std::string> url = DecodeHostName(value.name);
        if (url && value.value.type == platform::RegistryValue::Type::Dword) {
            words.emplace(std::move(*url), value.value.number);
        }
    }
    const bool olderWords = static_cast<uint32_t>(settings_.GetInt("XAppVersion")) < kVersion212;
    const std::string lastHost = settings_.GetString("LastHost");

    std::vector<RegistryChange> rewrites;
    std::vector<std::pair<std::string, uint32_t>> loadedWords;
    {
        std::lock_guard guard(mutex_);
        records_.clear();
        order_.clear();
        selected_.clear();
        for (const platform::RegistryNamedValue& value : registry_.EnumerateValues(kHostsKey)) {
            if (value.value.type != platform::RegistryValue::Type::String) {
                continue;
            }
            std::optional<std::string> url = DecodeHostName(value.name);
            if (!url || url->empty() || records_.count(*url) != 0) {
                continue;
            }
            auto data = DecodeHostEntryData(value.value.text);
            if (!data) {
                continue;
            }
            if (value.value.text.find(kOlderSeparator) != std::string::npos) {
                rewrites.push_back(
                    RegistryChange::String(std::string(kHostsKey), EncodeHostName(*url),
                                           EncodeHostEntryData(data->first, data->second)));
            }
            Record record = MakeRecord(*url, data->first, data->second);
            if (record.parses) {
                auto found = lastConnects.find(
                    std::string_view(*url).substr(record.hostBegin, record.hostLength));
                record.lastConnect = found != lastConnects.end() ? found->second : 0;
            }
            if (auto word = words.find(*url); word != words.end()) {
                loadedWords.emplace_back(*url, olderWords
                                                   ? Settings::ConvertOlderPerHostWord(word->second)
                                                   : word->second);
            }
            if (selected_.empty() && !lastHost.empty() && HostNameForText(*url) == lastHost) {
                selected_ = *url;
            }
            order_.push_back(*url);
            records_.emplace(std::move(*url), std::move(record));
        }
    }
    for (auto& [url, word] : loadedWords) {
        settings_.SetPerHostWord(url, word);
    }
    if (!rewrites.empty()) {
        (void)registry_.Apply(rewrites);
    }
}

void HostList::StoreLocked(std::string_view url, std::string_view user, std::string_view password) {
    auto found = records_.find(url);
    if (found != records_.end()) {
        found->second.user = std::string(user);
        found->second.password = std::string(password);
        return;
    }
    records_.emplace(std::string(url), MakeRecord(url, user, password));
    order_.emplace_back(url);
}

bool HostList::SaveHostEntry(std::string_view url, std::string_view user, std::string_view password,
                             uint32_t word) {
    if (url.empty()) {
        return false;
    }
    const std::string name = EncodeHostName(url);
    std::vector<RegistryChange> changes{
        RegistryChange::String(std::string(kHostsKey), name, EncodeHostEntryData(user, password))};
    if (word != 0) {
        changes.push_back(RegistryChange::Dword(std::string(kPerHostKey), name, word));
    }
    const bool stored = registry_.Apply(changes);
    {
        std::lock_guard guard(mutex_);
        StoreLocked(url, user, password);
    }
    if (word != 0) {
        settings_.SetPerHostWord(url, word);
    }
    return stored;
}

size_t HostList::SaveHostEntries(const std::vector<HostEntry>& entries) {
    std::vector<RegistryChange> changes;
    for (const HostEntry& entry : entries) {
        if (entry.url.empty()) {
            continue;
        }
        const std::string name = EncodeHostName(entry.url);
        changes.push_back(RegistryChange::String(std::string(kHostsKey), name,
                                                 EncodeHostEntryData(entry.user, entry.password)));
        if (entry.perHostWord != 0) {
            changes.push_back(
                RegistryChange::Dword(std::string(kPerHostKey), name, entry.perHostWord));
        }
    }
    if (!changes.empty()) {
        (void)registry_.Apply(changes);
    }
    size_t saved = 0;
    {
        std::lock_guard guard(mutex_);
        for (const HostEntry& entry : entries) {
            if (!entry.url.empty()) {
                StoreLocked(entry.url, entry.user, entry.password);
                ++saved;
            }
        }
    }
    for (const HostEntry& entry : entries) {
        if (!entry.url.empty() && entry.perHostWord != 0) {
            settings_.SetPerHostWord(entry.url, entry.perHostWord);
        }
    }
    return saved;
}

void HostList::AddUnsavedEntry(std::string_view url) {
    if (url.empty() || Contains(url)) {
        return;
    }
    Record record = MakeRecord(url, {}, {});
    if (statistics_ != nullptr && record.parses) {
        const int number =
            statistics_->FindHostRecord(url.substr(record.hostBegin, record.hostLength), false);
        if (const auto stored = statistics_->ReadHostRecord(number)) {
            record.lastConnect = stored->lastConnect;
        }
    }
    std::lock_guard guard(mutex_);
    if (records_.emplace(std::string(url), std::move(record)).second) {
        order_.emplace_back(url);
    }
}

std::optional<std::string> HostList::RemoveHostEntry(std::string_view url, bool deleteStatistics) {
    std::optional<std::string> next;
    std::string host;
    {
        std::lock_guard guard(mutex_);
        auto found = records_.find(url);
        if (found == records_.end()) {
            return std::nullopt;
        }
        if (found->second.parses) {
            host = std::string(url.substr(found->second.hostBegin, found->second.hostLength));
        }
        const auto position = std::find(order_.begin(), order_.end(), url);
        const auto index = static_cast<size_t>(position - order_.begin());
        if (position != order_.end()) {
            order_.erase(position);
        }
        records_.erase(found);
        if (!order_.empty()) {
            next = order_[std::min(index, order_.size() - 1)];
        }
        selected_ = next.value_or(std::string());
    }
    const std::string name = EncodeHostName(url);
    (void)registry_.Apply({RegistryChange::Remove(std::string(kHostsKey), name),
                           RegistryChange::Remove(std::string(kPerHostKey), name)});
    settings_.ErasePerHostWord(url);
    if (const std::string lastHost = settings_.GetString("LastHost");
        !lastHost.empty() && lastHost == HostNameForText(url)) {
        settings_.SetString("LastHost", "");
    }
    if (deleteStatistics && statistics_ != nullptr && !host.empty()) {
        if (const int number = statistics_->FindHostRecord(host, false); number != 0) {
            statistics_->DeleteHostRecord(number);
        }
    }
    return next;
}

std::vector<std::string> HostList::SortedLocked(int view, bool byHostOnly) const {
    std::vector<std::string> order = order_;
    if (view != kHostViewAlphabetic && view != kHostViewMostRecent) {
        return order;
    }
    struct Key {
        const std::string* url;
        const Record* record;
    };
    std::vector<Key> keys;
    keys.reserve(order.size());
    for (const std::string& url : order) {
        keys.push_back({&url, &records_.find(url)->second});
    }
    auto alphabetic = [byHostOnly](const Key& a, const Key& b) {
        const std::string_view urlA = *a.url;
        const std::string_view urlB = *b.url;
        if (!byHostOnly || !a.record->parses || !b.record->parses) {
            return CompareFolded(urlA, urlB) < 0;
        }
        return CompareByHost(urlA, urlA.substr(a.record->hostBegin, a.record->hostLength), urlB,
                             urlB.substr(b.record->hostBegin, b.record->hostLength)) < 0;
    };
    if (view == kHostViewAlphabetic) {
        std::stable_sort(keys.begin(), keys.end(), alphabetic);
    } else {
        std::stable_sort(keys.begin(), keys.end(), [&alphabetic](const Key& a, const Key& b) {
            if (a.record->lastConnect != b.record->lastConnect) {
                return a.record->lastConnect > b.record->lastConnect;
            }
            return alphabetic(a, b);
        });
    }
    std::vector<std::string> sorted;
    sorted.reserve(keys.size());
    for (const Key& key : keys) {
        sorted.push_back(*key.url);
    }
    return sorted;
}

void HostList::SortHostList(int view) {
    const bool byHostOnly = settings_.GetInt("HostUrlSort") != 0;
    std::lock_guard guard(mutex_);
    order_ = SortedLocked(view, byHostOnly);
}

std::string HostList::NewEntryName(std::string_view url) const {
    const std::string base = std::string(url) + (!url.empty() && url.back() == '/' ? "" : "/");
    std::lock_guard guard(mutex_);
    for (size_t n = 1;; ++n) {
        std::string name = base + std::to_string(n);
        if (records_.count(name) == 0) {
            return name;
        }
    }
}

void HostList::NoteConnect(std::string_view host, uint32_t when) {
    std::lock_guard guard(mutex_);
    for (auto& [url, record] : records_) {
        if (record.parses &&
            std::string_view(url).substr(record.hostBegin, record.hostLength) == host) {
            record.lastConnect = when;
        }
    }
}

bool HostList::WriteMruFile(const std::string& dataFolder) const {
    const bool byHostOnly = settings_.GetInt("HostUrlSort") != 0;
    std::string text;
    {
        std::lock_guard guard(mutex_);
        size_t lines = 0;
        for (const std::string& url : SortedLocked(kHostViewMostRecent, byHostOnly)) {
            if (lines == kMruLines) {
                break;
            }
            // A line break or NUL in the text would make more (or fewer) lines.
            if (url.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
                continue;
            }
            text += UrlWithoutPassword(url);
            text += '\n';
            ++lines;
        }
    }
    // The shell extension may read the file at any moment: it never sees half of it.
    const std::string path = WithSeparator(dataFolder) + std::string(kMruFileName);
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::permissions(
        temporary, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, error);
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}

HostEntry HostList::EntryLocked(const Records::const_iterator& found) const {
    return HostEntry{found->first, found->second.user, found->second.password,
                     settings_.PerHostWord(found->first), found->second.lastConnect};
}

std::optional<HostEntry> HostList::Find(std::string_view url) const {
    std::lock_guard guard(mutex_);
    auto found = records_.find(url);
    if (found == records_.end()) {
        return std::nullopt;
    }
    return EntryLocked(found);
}

bool HostList::Contains(std::string_view url) const {
    std::lock_guard guard(mutex_);
    return records_.find(url) != records_.end();
}

std::vector<std::string> HostList::Urls() const {
    std::lock_guard guard(mutex_);
    return order_;
}

std::vector<HostEntry> HostList::Entries() const {
    std::lock_guard guard(mutex_);
    std::vector<HostEntry> entries;
    entries.reserve(order_.size());
    for (const std::string& url : order_) {
        entries.push_back(EntryLocked(records_.find(url)));
    }
    return entries;
}

size_t HostList::size() const {
    std::lock_guard guard(mutex_);
    return order_.size();
}

std::string HostList::selected() const {
    std::lock_guard guard(mutex_);
    return selected_;
}

void HostList::Select(std::string_view url) {
    std::lock_guard guard(mutex_);
    if (records_.find(url) != records_.end()) {
        selected_ = std::string(url);
    }
}

}  // namespace qvex
