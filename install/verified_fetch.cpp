#include "install/verified_fetch.h"

FetchOutcome FetchVerified(const FetchFunction& fetch, const VerifiedFetchRequest& request) {
    ChecksumPass checksums(!request.listed.sha256.empty());
    FetchOutcome outcome;
    bool refused = false;
    FetchRequest fetchRequest{request.url, request.localPath, request.maxBytes, {}, {}};
    fetchRequest.observe = [&](const char* data, std::size_t size) {
        checksums.Add(data, size);
        if (request.keepBody)
            outcome.body.append(data, size);
    };
    fetchRequest.accept = [&] {
        refused = !ChecksumsMatchListed(checksums.Texts(), request.listed) ||
                  (request.alsoAccept && !request.alsoAccept(outcome.body));
        return !refused;
    };
    if (fetch(fetchRequest)) {
        outcome.verdict = FetchVerdict::Stored;
        return outcome;
    }
    outcome.body.clear();
    outcome.verdict = refused ? FetchVerdict::ChecksumFailed : FetchVerdict::FetchFailed;
    return outcome;
}
