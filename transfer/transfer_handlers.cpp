#include "transfer/transfer_handlers.h"

#include "transfer/download.h"
#include "transfer/listing_cache.h"
#include "transfer/listing_language.h"
#include "transfer/navigation.h"
#include "transfer/remote_operations.h"
#include "transfer/upload.h"

namespace qvex {

void InstallTransferHandlers(CommandHandlers& handlers, ListingCache& cache) {
    ListingCache* shared = &cache;
    handlers[kCommandList] = [shared](SessionWorker& session, SessionCommand& command) {
        // The session's host may list in another language than the last one parsed.
        if (currentListingLanguage().languageId != session.listingLanguage) {
            (void)loadListingLanguage(session.listingLanguage);
        }
        return listDirectory(session, *shared, command, nullptr);
    };
    handlers[kCommandListToFile] = [shared](SessionWorker& session, SessionCommand& command) {
        return listToFile(session, *shared, command);
    };
    handlers[kCommandMakeDirectory] = [shared](SessionWorker& session, SessionCommand& command) {
        return MakeDirectory(session, *shared, command);
    };
    handlers[kCommandDelete] = [shared](SessionWorker& session, SessionCommand& command) {
        return DeleteEntries(session, *shared, command);
    };
    handlers[kCommandGet] = [shared](SessionWorker& session, SessionCommand& command) {
        return getFiles(session, *shared, command);
    };
    handlers[kCommandPut] = [shared](SessionWorker& session, SessionCommand& command) {
        return putFiles(session, *shared, command);
    };
    handlers[kCommandPrintDirectory] = [](SessionWorker& session, SessionCommand&) {
        return printLoginFolder(session);
    };
    handlers[kCommandRename] = [shared](SessionWorker& session, SessionCommand& command) {
        return RenameEntry(session, *shared, command);
    };
    handlers[kCommandSite] = [shared](SessionWorker& session, SessionCommand& command) {
        return SiteCommand(session, *shared, command);
    };
}

}  // namespace qvex
