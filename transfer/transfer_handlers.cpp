#include "transfer/transfer_handlers.h"

#include "transfer/listing_cache.h"
#include "transfer/listing_language.h"
#include "transfer/navigation.h"
#include "transfer/remote_operations.h"

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
    handlers[kCommandListToFile] = [shared](SessionWorker&, SessionCommand& command) {
        return listToFile(*shared, command);
    };
    handlers[kCommandMakeDirectory] = [shared](SessionWorker& session, SessionCommand& command) {
        return MakeDirectory(session, *shared, command);
    };
    handlers[kCommandDelete] = [shared](SessionWorker& session, SessionCommand& command) {
        return DeleteEntries(session, *shared, command);
    };
    handlers[kCommandPrintDirectory] = [](SessionWorker& session, SessionCommand&) {
        return printWorkingDirectory(session, session.workingDirectory);
    };
    handlers[kCommandRename] = [shared](SessionWorker& session, SessionCommand& command) {
        return RenameEntry(session, *shared, command);
    };
    handlers[kCommandSite] = [shared](SessionWorker& session, SessionCommand& command) {
        return SiteCommand(session, *shared, command);
    };
}

}  // namespace qvex
