#include "install/update_check.h"

#include "common/com_types.h"
#include "common/files.h"
#include "common/guard.h"
#include "common/handles.h"
#include "common/safe_path.h"
#include "common/text.h"
#include "common/worker_thread.h"
#include "crypto/checksum.h"
#include "config/config_set.h"
#include "config/folder_chain.h"
#include "config/text_decoding.h"
#include "config/item_ids.h"
#include "config/listed_file.h"
#include "crypto/sha256.h"
#include "config/xml_node.h"
#include "crypto/signature.h"
#include "install/http_fetch.h"
#include "install/signature_files.h"

#include <shlwapi.h>

#include <algorithm>
#include <exception>
#include <map>
#include <memory>

namespace {

// What a mismatching installed file is traced with: the listed and actual
// checksum texts, and the SHA-256 texts where the list has one.
std::wstring MismatchDetail(const ListedChecksums& listed, const FileChecksums& actual) {
    std::wstring detail = L" 服务器：" + listed.mac + L" 本地：" + actual.mac;
    if (!listed.sha256.empty())
        detail += L" sha256 服务器：" + listed.sha256 + L" 本地：" + actual.sha256;
    return detail;
}

// The ANSI code page CP_THREAD_ACP stands for on this thread, so a body
// decoded on another thread is decoded as it would have been here.
unsigned ThreadAnsiCodePage() {
    DWORD codePage = 0;
    if (GetLocaleInfoW(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&codePage), sizeof(codePage) / sizeof(wchar_t)) &&
        codePage != 0)
        return codePage;
    return CP_THREAD_ACP;
}

} // namespace

struct UpdateChecker::ListEntry {
    int id = 0;
    std::wstring name; // a single file name of the settings folder (checked when read)
    std::wstring url;
    long long version = 0;
    ListedChecksums listed;
};

// What each pass writes about a fetch; a null text writes nothing.
struct UpdateChecker::FetchEvents {
    const wchar_t* fetched;
    const wchar_t* fetchFailed;
    const wchar_t* checkPassed;
    const wchar_t* checkFailed;
};

// Named, not anonymous: the checker's own types hold these.
namespace check_work {

// Work of the check done on a thread of its own while the check goes on.
// The thread is joined before the result is read and, at the latest, when
// the object goes, so it never outlives the check; when no thread can be
// started the work is done when its result is asked for. An exception of the
// work passes on to the one who takes the result.
template <typename Result> class ThreadWork {
public:
    explicit ThreadWork(std::function<Result()> work) : work_(std::move(work)) {
        thread_.reset(StartWorkerThread([this] { Run(); }));
    }
    ~ThreadWork() { Join(); }
    ThreadWork(const ThreadWork&) = delete;
    ThreadWork& operator=(const ThreadWork&) = delete;

    Result Take() { return std::move(Get()); }
    // The result, left in place for several takers.
    Result& Get() {
        if (thread_) {
            Join();
        } else if (!ranHere_) {
            ranHere_ = true;
            Run();
        }
        if (failure_)
            std::rethrow_exception(failure_);
        return result_;
    }

private:
    void Join() {
        if (thread_ && !joined_) {
            WaitForSingleObject(thread_.get(), INFINITE);
            joined_ = true;
        }
    }
    void Run() {
        try {
            result_ = work_();
        } catch (...) {
            failure_ = std::current_exception();
        }
        work_ = nullptr;
    }

    std::function<Result()> work_;
    Result result_{};
    std::exception_ptr failure_;
    // Read and written on the check's thread only.
    bool joined_ = false;
    bool ranHere_ = false;
    KernelHandle thread_;
};

// The text of a deciphered body and, when asked for, its parsed document.
struct MadeText {
    std::optional<std::wstring> text;
    bool parsed = false; // the document below is the text's (null: it does not parse)
    std::shared_ptr<const XmlNode> document;
};

// Parses the text on this thread; without COM it is left to the check's thread.
void ParseMadeText(MadeText& made) {
    ComApartment apartment(COINIT_MULTITHREADED);
    if (apartment.usable()) {
        if (made.text)
            made.document = XmlNode::ParseFrozen(*made.text);
        made.parsed = true;
    }
}

MadeText MakeTextOf(const std::string& body, unsigned codePage, bool parse) {
    MadeText made;
    made.text = DecodeConfigText(body, codePage);
    if (parse)
        ParseMadeText(made);
    return made;
}

// How a check reads a settings file whole. With `step` (a check that
// remembers) it also learns the identity of the bytes it read, once they have
// settled: bytes read within a time stamp step of their last write may change
// without the identity showing it.
struct ReadMode {
    std::optional<std::uint64_t> step;
};

// Whether what was read of a file at `at` stands for it (see ReadingSettled).
bool IdentitySettled(const DiskFileIdentity& identity, std::uint64_t at, std::uint64_t step) {
    return ReadingSettled(at, identity.lastWrite, step) &&
           ReadingSettled(at, identity.changed, step);
}

std::optional<std::string> ReadSettingsFile(const std::wstring& path, const ReadMode& mode,
                                            std::optional<DiskFileIdentity>& identity) {
    identity.reset();
    if (!mode.step)
        return CDravikCrypto::ReadWholeFile(path);
    const std::uint64_t readAt = NowTicks();
    std::optional<std::string> bytes =
        ReadWholeDiskFile(path, FILE_SHARE_READ, kLargestEncryptedFile, &identity);
    if (identity && !IdentitySettled(*identity, readAt, *mode.step))
        identity.reset();
    return bytes;
}

// A file of the settings folder read and hashed in one pass.
struct FileRead {
    bool readable = false;
    std::optional<DiskFileIdentity> identity; // of the bytes, when settled
    std::optional<std::string> bytes;         // gone once made into `made`
    bool withSha256 = false;
    FileChecksums sums;
    std::optional<Sha256Digest> digest;
    std::optional<MadeText> made;
};

FileRead ReadAndSum(const std::wstring& path, bool withSha256, const ReadMode& mode) {
    FileRead read;
    read.bytes = ReadSettingsFile(path, mode, read.identity);
    read.readable = read.bytes.has_value();
    read.withSha256 = withSha256;
    if (read.bytes) {
        ChecksumPass pass(withSha256);
        pass.Add(read.bytes->data(), read.bytes->size());
        read.sums = pass.Texts();
        read.digest = pass.Digest();
    }
    return read;
}

// A file of the configuration set read ahead of the check's need: hashed
// (with the SHA-256, as the list's wishes are not known yet) and made into
// its text (parsed, with `parse`), which is used only once the check has
// found the file current and authentic.
FileRead ReadAhead(const std::wstring& path, const CDravikCrypto& crypto, unsigned codePage,
                   bool parse, const ReadMode& mode) {
    FileRead read = ReadAndSum(path, true, mode);
    if (read.bytes) {
        // Deciphered where it was read: a large file is not copied.
        MadeText made;
        made.text = crypto.DecryptConsumed(std::move(*read.bytes), codePage);
        read.bytes.reset();
        if (parse)
            ParseMadeText(made);
        read.made = std::move(made);
    }
    return read;
}

// Buffers of deciphered bodies whose text is made, for the next fetches of
// the check: under Wine a fresh buffer of a large body costs more to fill
// than the deciphering itself. Given back on the text's thread, taken on the
// check's.
class BodyBuffers {
public:
    // The largest buffer in hand (none: an empty one).
    std::string Take() {
        std::lock_guard guard(lock_);
        if (spare_.empty())
            return {};
        auto largest = std::max_element(spare_.begin(), spare_.end(), ByCapacity);
        std::string buffer = std::move(*largest);
        spare_.erase(largest);
        return buffer;
    }
    // Kept unless as many larger ones are in hand already.
    void Give(std::string buffer) {
        std::lock_guard guard(lock_);
        if (spare_.size() < kKept) {
            spare_.push_back(std::move(buffer));
            return;
        }
        auto smallest = std::min_element(spare_.begin(), spare_.end(), ByCapacity);
        if (smallest->capacity() < buffer.capacity())
            *smallest = std::move(buffer);
    }

private:
    static bool ByCapacity(const std::string& a, const std::string& b) {
        return a.capacity() < b.capacity();
    }
    static constexpr size_t kKept = 2; // a text is made while the next body arrives
    std::mutex lock_;
    std::vector<std::string> spare_;
};

} // namespace check_work

// A fetched body's text (and, for the update list, its document), made while
// the check goes on with the next fetch. Nothing of it is used before the
// file is verified: a refused file's result is dropped.
class UpdateChecker::Speculation : public check_work::ThreadWork<check_work::MadeText> {
public:
    // The body's buffer goes back to `buffers` once the text is made.
    Speculation(std::string body, unsigned codePage, bool parse,
                std::shared_ptr<check_work::BodyBuffers> buffers)
        : ThreadWork([body = std::move(body), codePage, parse, buffers]() mutable {
              check_work::MadeText made = check_work::MakeTextOf(body, codePage, parse);
              buffers->Give(std::move(body));
              return made;
          }) {}
};

// A settings folder file the list names, read and hashed beside the fetches
// and checks that come before it is needed.
using PendingRead = check_work::ThreadWork<check_work::FileRead>;
// Files of the configuration set read ahead on one thread, in order.
using ReadAheadGroup = check_work::ThreadWork<std::vector<check_work::FileRead>>;

// A file's bytes as one check has them, and what the check learnt of them;
// each fact is worked out once, when first needed, from the same bytes.
struct UpdateChecker::HeldFile {
    std::wstring path; // where the file is now
    bool readable = false;
    // The encrypted bytes. A fetched body is deciphered as it arrives and not
    // kept; bytes read from disk go into their text once every fact of them
    // is known.
    std::optional<std::string> bytes;
    // One pass over the bytes gives the checksum texts and the digest a signature signs.
    bool summed = false;
    bool summedWithSha256 = false;
    FileChecksums sums;
    std::optional<Sha256Digest> digest;
    std::optional<bool> authentic;
    std::unique_ptr<Speculation> speculation;  // a fetched body's text in the making
    std::unique_ptr<PendingRead> pendingRead;  // the file's read, under way
    std::shared_ptr<ReadAheadGroup> readAhead; // or its read ahead, as member `readAheadAt`
    size_t readAheadAt = 0;
    std::optional<check_work::MadeText> made; // the text made by the read ahead
    // Of the bytes read from disk, once settled: what is learnt of them may
    // then stand for the file in a later check that finds it the same.
    std::optional<DiskFileIdentity> identity;
    bool recalled = false; // the facts were remembered, the bytes not read
    std::optional<unsigned long long> storedRevision; // the store's revision of its text
    // The signature file's identity when it was judged authentic (settled).
    std::optional<DiskFileIdentity> signature;
    bool decrypted = false;
    std::optional<std::wstring> text;
    bool parsed = false;
    std::shared_ptr<const XmlNode> document; // null when the text is missing or does not parse
};

// What earlier checks learnt of the settings folder's files, used by a check
// that finds a file's identity unchanged: its checksums, the digest its
// signature signs, the verdict on its signature (while that file too is
// unchanged), the store's revision of its text and, for the update list, its
// document. Only facts of bytes read from disk are kept, with the identity
// taken on the handle that read them. Each check replaces it with what it
// held, so names the list no longer gives fall out. The check's worker only
// (under runLock_).
struct UpdateChecker::RememberedFiles {
    // Of each file only the facts: identity, sums, digest, the signature its
    // verdict was given for, the stored text's revision, the document.
    std::map<std::wstring, HeldFile> files; // by lower-case name
    unsigned codePage = 0;                  // the texts' ANSI code page
    std::uint64_t timeStampStep = 0;        // of the settings folder's volume; 0: not asked yet
};

// The settings folder's files as one check (or one cancel) has them: each is
// read once, hashed once, its signature judged once and decrypted once, and
// every step after the first uses what the first one found. A file moved into
// place replaces its entry with what its fetch found, so the entries always
// describe the files on disk.
class UpdateChecker::HeldFiles final : public SetMemberSource {
public:
    // `fetch` fetches for the check (none for a cancel, which fetches nothing).
    HeldFiles(std::wstring folder, CDravikCrypto crypto, FetchFunction fetch = {})
        : folder_(std::move(folder)), crypto_(std::move(crypto)), fetch_(std::move(fetch)) {}

    // Uses what `memory` holds of files still the same and learns the
    // identities of what it reads, for TakeLearnt(). `documentKept` names the
    // file whose document is remembered too (the update list).
    void Remember(const RememberedFiles& memory, const std::wstring& documentKept) {
        remembering_ = true;
        documentKept_ = Key(documentKept);
        // The folder's volume keeps its kind: asked once, then kept with the memory.
        readMode_.step = memory.timeStampStep ? memory.timeStampStep : TimeStampStepOf(folder_);
        // Texts of another code page are not this check's texts.
        memory_ = memory.codePage == ThreadAnsiCodePage() ? &memory : nullptr;
    }
    // What this check learnt of the files it held that are on disk as it
    // read them; the files are let go.
    RememberedFiles TakeLearnt() {
        RememberedFiles learnt;
        learnt.codePage = ThreadAnsiCodePage();
        learnt.timeStampStep = readMode_.step.value_or(0);
        learnt.files = std::move(learnt_);
        for (auto& [key, file] : files_)
            Learn(key, file, learnt.files);
        files_.clear();
        return learnt;
    }
    // The configuration set from these files; with `keepTexts` the texts stay
    // for the steps after it, else they are handed over.
    bool StoreSet(const TraceSink& trace, ConfigurationTexts& texts, bool keepTexts) {
        keepTexts_ = keepTexts;
        return StoreConfigurationSet(*this, trace, texts);
    }

    // Fetches `url` into `path`, hashing the body as it arrives (with the
    // SHA-256 when a list names one or a signature will be checked) and
    // deciphering it block by block; its text is then made on a thread of its
    // own (and parsed, with `parse`) while the check goes on. nullopt when the
    // fetch failed.
    std::optional<HeldFile> Fetch(const std::wstring& url, const std::wstring& path,
                                  const ListedChecksums& listed, bool parse) {
        const bool withSha256 = NeedsSha256(listed);
        ChecksumPass pass(withSha256);
        BodyDecryptor decryptor(crypto_);
        // The files of one list are mostly of a size: room for the largest
        // so far spares a large body its copies while it grows.
        decryptor.Reuse(bodyBuffers_->Take());
        decryptor.Expect(largestBody_);
        FetchRequest request{url, path, kLargestEncryptedFile, {}, {}};
        request.observe = [&](const char* data, std::size_t size) {
            pass.Add(data, size);
            decryptor.Add(data, size);
        };
        if (!fetch_(request))
            return std::nullopt;
        HeldFile file;
        file.path = path;
        file.readable = true;
        LearnSums(file, withSha256, pass.Texts(), pass.Digest());
        // A body that does not decipher leaves the file without a text.
        if (std::optional<std::string> body = decryptor.TakeBody()) {
            largestBody_ = std::max(largestBody_, body->size());
            file.speculation = std::make_unique<Speculation>(std::move(*body), ThreadAnsiCodePage(),
                                                             parse, bodyBuffers_);
        }
        return file;
    }

    // The signature of a file fetched from `url` to `path`, beside it.
    void FetchSignature(const std::wstring& url, const std::wstring& path) const {
        FetchSignatureOf(fetch_, url, path);
    }

    // Of any held file, e.g. one just fetched: its bytes match the list.
    bool MatchesListed(HeldFile& file, const ListedChecksums& listed) const {
        if (!file.readable)
            return false;
        Sum(file, NeedsSha256(listed));
        return ChecksumsMatchListed(file.sums, listed);
    }
    // The signature rule accepts the file (a refusal is traced once).
    bool Authentic(HeldFile& file) const {
        if (!file.authentic) {
            if (!file.readable) {
                file.authentic = false;
            } else if (!crypto_.SignaturesRequired()) {
                file.authentic = true;
            } else {
                Sum(file, true);
                // The signature's identity around its verdict: the same file
                // before and after, so the verdict is of the one remembered.
                const std::wstring signaturePath = SignaturePathOf(file.path);
                const std::uint64_t judgedAt = NowTicks();
                std::optional<DiskFileIdentity> signature =
                    remembering_ ? DiskFileIdentityOf(signaturePath) : std::nullopt;
                file.authentic = file.digest  ? crypto_.IsAuthenticDigest(file.path, *file.digest)
                                 : file.bytes ? crypto_.IsAuthentic(file.path, *file.bytes)
                                              : false;
                if (*file.authentic && signature && Settled(*signature, judgedAt) &&
                    DiskFileIdentityOf(signaturePath) == signature)
                    file.signature = signature;
            }
        }
        return *file.authentic;
    }
    // The text, when the file is readable, authentic and decrypts.
    const std::optional<std::wstring>& Text(HeldFile& file) const {
        if (!file.decrypted) {
            file.decrypted = true;
            if (Authentic(file))
                file.text = MakeText(file);
            // A refused file's speculative text is not used: dropped here.
            file.speculation.reset();
        }
        return file.text;
    }

    // The same of the folder's file `name`, read when first asked for.
    bool MatchesListed(const std::wstring& name, const ListedChecksums& listed) {
        return MatchesListed(At(name), listed);
    }
    bool Authentic(const std::wstring& name) { return Authentic(At(name)); }
    const std::optional<std::wstring>& Text(const std::wstring& name) { return Text(At(name)); }
    // The parsed text; null when it is missing or does not parse.
    const XmlNode* Document(const std::wstring& name) {
        HeldFile& file = At(name);
        // A remembered document needs no text, but the same verdict on the file.
        if (file.recalled && file.parsed && file.document)
            return Authentic(file) ? file.document.get() : nullptr;
        // A fetched update list comes with its document, parsed beside the fetches.
        const std::optional<std::wstring>& text = Text(file);
        if (!file.parsed) {
            file.parsed = true;
            if (text)
                file.document = XmlNode::ParseFrozen(*text);
        }
        return file.document.get();
    }
    // The installed version the file names (the file-version probe).
    long long Version(const std::wstring& name) {
        const XmlNode* document = Document(name);
        return document ? FileVersionOf(*document) : kUnknownFileVersion;
    }
    // The parsed documents are large for large files: dropped once no step
    // needs them, but for the one remembered.
    void DropDocuments() {
        for (auto& [key, file] : files_) {
            if (remembering_ && key == documentKept_ && file.identity)
                continue;
            file.document.reset();
            file.parsed = false;
        }
    }
    // Hands the text over and lets go of the file (read again if asked for later).
    std::optional<std::wstring> TakeText(const std::wstring& name) {
        HeldFile& file = At(name);
        Text(file);
        std::optional<std::wstring> text = std::move(file.text);
        Learn(Key(name), file, learnt_);
        files_.erase(Key(name));
        return text;
    }

    // As the configuration set's source (StoreSet).
    std::optional<std::wstring> MemberText(const std::wstring& name) override {
        return keepTexts_ ? Text(name) : TakeText(name);
    }
    // A recalled file's text is stored already when the store still has it.
    bool Holds(const std::wstring& name, unsigned long long revision) override {
        HeldFile& file = At(name);
        return file.recalled && file.storedRevision == revision && Authentic(file);
    }
    void Stored(const std::wstring& name, unsigned long long revision) override {
        if (auto at = files_.find(Key(name)); at != files_.end())
            at->second.storedRevision = revision;
        else if (auto kept = learnt_.find(Key(name)); kept != learnt_.end())
            kept->second.storedRevision = revision;
    }
    // Starts reading and hashing the folder's file `name` for a list that
    // names `listed`, so that the steps that need it find it done.
    void Prepare(const std::wstring& name, const ListedChecksums& listed) {
        auto [at, added] = files_.try_emplace(Key(name));
        if (!added)
            return;
        HeldFile& file = at->second;
        file.path = folder_ + name;
        if (Recall(name, file))
            return;
        file.pendingRead = std::make_unique<PendingRead>(
            [path = file.path, withSha256 = NeedsSha256(listed), mode = readMode_] {
                return check_work::ReadAndSum(path, withSha256, mode);
            });
    }
    // Starts reading the configuration set's copies on two threads, each made
    // into its text as well (the update list also parsed), while the check
    // fetches the version list: nearly every check finds them current. Each
    // result is used only where the file's own read would have been.
    void ReadAheadSet(const std::wstring& updateList, unsigned codePage) {
        // The update list is needed first: it leads the first thread's files.
        std::vector<std::wstring> threads[2] = {{updateList}, {}};
        size_t next = 1;
        for (const std::wstring& name : ConfigurationSetFileNames()) {
            if (!EqualsNoCase(name, updateList)) {
                threads[next].push_back(name);
                next = 1 - next;
            }
        }
        for (const std::vector<std::wstring>& names : threads)
            ReadAhead(names, updateList, codePage);
    }
    // Lets a read of `name` under way end first: a file open for reading
    // cannot be replaced.
    void FinishRead(const std::wstring& name) {
        if (auto at = files_.find(Key(name));
            at != files_.end() && (at->second.pendingRead || at->second.readAhead))
            At(name);
    }
    // A file now in place at `name`, with what was learnt of it before the move.
    void Replace(const std::wstring& name, HeldFile file) {
        file.path = folder_ + name;
        files_[Key(name)] = std::move(file);
    }

private:
    static std::wstring Key(const std::wstring& name) { return ToLower(name); }

    // Reads the existing files of `names` on one thread, in order.
    void ReadAhead(const std::vector<std::wstring>& names, const std::wstring& parsed,
                   unsigned codePage) {
        std::vector<std::wstring> paths, keys;
        for (const std::wstring& name : names) {
            if (files_.count(Key(name)))
                continue;
            // A recalled file exists: only the others need asking.
            if (HeldFile recalled; Recall(name, recalled)) {
                files_[Key(name)] = std::move(recalled);
                continue;
            }
            if (!PathFileExistsW((folder_ + name).c_str()))
                continue;
            paths.push_back(folder_ + name);
            keys.push_back(Key(name));
        }
        if (paths.empty())
            return;
        auto group = std::make_shared<ReadAheadGroup>(
            [paths, parsed, codePage, crypto = crypto_, mode = readMode_] {
                std::vector<check_work::FileRead> reads;
                for (const std::wstring& path : paths)
                    reads.push_back(check_work::ReadAhead(
                        path, crypto, codePage, EqualsNoCase(FileNamePart(path), parsed), mode));
                return reads;
            });
        for (size_t at = 0; at < keys.size(); ++at) {
            HeldFile& file = files_[keys[at]];
            file.path = paths[at];
            file.readAhead = group;
            file.readAheadAt = at;
        }
    }

    // What one pass over a file's bytes learnt.
    static void LearnSums(HeldFile& file, bool withSha256, FileChecksums sums,
                          std::optional<Sha256Digest> digest) {
        file.summed = true;
        file.summedWithSha256 = withSha256;
        file.sums = std::move(sums);
        file.digest = digest;
    }

    // What stands for a file's bytes while it keeps its identity.
    static void CopyFacts(const HeldFile& from, HeldFile& to, bool withDocument) {
        to.identity = from.identity;
        LearnSums(to, true, from.sums, from.digest);
        to.storedRevision = from.storedRevision;
        to.signature = from.signature;
        if (withDocument && from.parsed) {
            to.parsed = true;
            to.document = from.document;
        }
    }

    // Fills `file` with what the memory holds of the folder's file `name`,
    // when the file on disk is still the one it was learnt of.
    bool Recall(const std::wstring& name, HeldFile& file) const {
        if (!memory_)
            return false;
        auto at = memory_->files.find(Key(name));
        file.path = folder_ + name;
        if (at == memory_->files.end() || DiskFileIdentityOf(file.path) != at->second.identity)
            return false;
        file.readable = true;
        file.recalled = true;
        CopyFacts(at->second, file, true);
        // The verdict stands while the signature is the one it was given for
        // (the key is the checker's own and does not change).
        if (file.signature && crypto_.SignaturesRequired() &&
            DiskFileIdentityOf(SignaturePathOf(file.path)) == file.signature)
            file.authentic = true;
        else
            file.signature.reset();
        return true;
    }

    // Keeps in `into` the facts of a file read from disk (with both sums).
    void Learn(const std::wstring& key, const HeldFile& file,
               std::map<std::wstring, HeldFile>& into) const {
        if (!remembering_ || !file.identity || !file.readable || !file.summedWithSha256 ||
            !file.digest || file.speculation || file.pendingRead || file.readAhead)
            return;
        CopyFacts(file, into[key], key == documentKept_);
    }

    HeldFile& At(const std::wstring& name) {
        auto [at, added] = files_.try_emplace(Key(name));
        HeldFile& file = at->second;
        if (added) {
            file.path = folder_ + name;
            if (!Recall(name, file)) {
                file.bytes = check_work::ReadSettingsFile(file.path, readMode_, file.identity);
                file.readable = file.bytes.has_value();
            }
        } else if (file.pendingRead || file.readAhead) {
            check_work::FileRead read = file.pendingRead
                                            ? file.pendingRead->Take()
                                            : std::move(file.readAhead->Get()[file.readAheadAt]);
            file.pendingRead.reset();
            file.readAhead.reset();
            file.bytes = std::move(read.bytes);
            file.made = std::move(read.made);
            file.readable = read.readable;
            file.identity = read.identity;
            if (file.readable)
                LearnSums(file, read.withSha256, std::move(read.sums), read.digest);
        }
        return file;
    }

    // Under the signature rule the SHA-256 is needed anyway: one pass gives both.
    bool NeedsSha256(const ListedChecksums& listed) const {
        return !listed.sha256.empty() || crypto_.SignaturesRequired();
    }

    void Sum(HeldFile& file, bool withSha256) const {
        if (file.summed && (file.summedWithSha256 || !withSha256))
            return;
        // A fetched body is not kept: a fact its fetch did not learn (a list
        // asking for a SHA-256 the fetch's did not) is learnt from the file.
        if (!file.bytes)
            file.bytes = CDravikCrypto::ReadWholeFile(file.path);
        if (!file.bytes) {
            file.readable = false;
            return;
        }
        ChecksumPass pass(withSha256);
        pass.Add(file.bytes->data(), file.bytes->size());
        LearnSums(file, withSha256, pass.Texts(), pass.Digest());
    }

    // A fetched file's text from its speculation; one read from disk from its
    // bytes, which become the text in place once nothing else needs them.
    std::optional<std::wstring> MakeText(HeldFile& file) const {
        if (file.speculation || file.made) {
            check_work::MadeText result =
                file.speculation ? file.speculation->Take() : std::move(*file.made);
            file.made.reset();
            file.parsed = result.parsed;
            file.document = std::move(result.document);
            return std::move(result.text);
        }
        if (file.recalled && !file.bytes)
            file.bytes = RereadRecalled(file);
        if (!file.bytes)
            return std::nullopt;
        if (!file.summedWithSha256)
            return crypto_.DecryptBuffer(*file.bytes);
        std::optional<std::wstring> text = crypto_.DecryptConsumed(std::move(*file.bytes));
        file.bytes.reset();
        return text;
    }

    bool Settled(const DiskFileIdentity& identity, std::uint64_t at) const {
        return readMode_.step && check_work::IdentitySettled(identity, at, *readMode_.step);
    }

    // The bytes of a recalled file, for a step that needs its text after all:
    // only while the file keeps the identity it was recalled by (else it
    // changed since, and gives no text).
    std::optional<std::string> RereadRecalled(const HeldFile& file) const {
        std::optional<DiskFileIdentity> identity;
        std::optional<std::string> bytes =
            check_work::ReadSettingsFile(file.path, readMode_, identity);
        if (!identity || identity != file.identity)
            return std::nullopt;
        return bytes;
    }

    const std::wstring folder_;
    const CDravikCrypto crypto_;
    const FetchFunction fetch_;
    const RememberedFiles* memory_ = nullptr; // recalled from
    bool remembering_ = false;
    std::wstring documentKept_;
    check_work::ReadMode readMode_;           // learns identities only when remembering
    std::map<std::wstring, HeldFile> learnt_; // facts of files handed over
    bool keepTexts_ = true;                   // the set's texts stay held (StoreSet)
    size_t largestBody_ = 0;
    std::shared_ptr<check_work::BodyBuffers> bodyBuffers_ =
        std::make_shared<check_work::BodyBuffers>();
    std::map<std::wstring, HeldFile> files_; // by lower-case name
};

UpdateChecker::UpdateChecker(const ComponentContext& context, InstallFolders installFolders)
    : context_(context), installFolders_(std::move(installFolders)),
      userSettings_(context.paths.userSettingsFile) {}

void UpdateChecker::Trace(const std::wstring& text) const {
    context_.Trace().Write(text);
}

void UpdateChecker::TraceEntry(bool success, const ListEntry& entry, const wchar_t* event) const {
    Trace((success ? L"成功事件：" : L"失败事件：") + entry.name + event);
}

void UpdateChecker::PostResult(int code) const {
    context_.post(VeyrantMessage::kUpdateResult, static_cast<WPARAM>(code), 0);
}

std::optional<std::wstring> UpdateChecker::AcceptedVersionList() const {
    std::lock_guard guard(stateLock_);
    return acceptedVersionList_;
}

// --- QueryUpdate ---------------------------------------------------------------

bool UpdateChecker::StartQueryUpdate() {
    thread_.reset(StartWorkerThread([this] {
        ComApartment apartment(COINIT_APARTMENTTHREADED);
        if (!apartment.usable())
            Trace(FormatW(L"失败事件：QueryUpdate COM初始化失败 错误值：0x%08lX",
                          static_cast<unsigned long>(apartment.result())));
        RunQueryUpdate(); // without COM the lists do not parse: the page still hears a code
    }));
    return static_cast<bool>(thread_);
}

int UpdateChecker::RunQueryUpdate() {
    std::lock_guard run(runLock_);
    {
        // Until this check accepts its list, the self-update has none.
        std::lock_guard guard(stateLock_);
        acceptedVersionList_.reset();
    }
    // A check that throws still tells the page, with the code of an unusable list.
    int code = UpdateCode::kInvalidList;
    RunGuardedWork(
        context_.Trace(), L"QueryUpdate", [&] { code = Check(); }, nullptr);
    PostResult(code);
    RunGuardedWork(
        context_.Trace(), L"QueryUpdate",
        [&] {
            Trace(FormatW(L"成功事件：完成发送消息%d", code));
            DeleteWithSignature(context_.paths.selfUpdateFolder + L"Version.cfg");
            Trace(L"成功事件：删除新Version.cfg文件完成");
        },
        nullptr);
    return code;
}

// Fetches the server's version list and compares, or falls back on the local
// files when it cannot be fetched; the code to post.
int UpdateChecker::Check() {
    const std::wstring fetched = context_.paths.selfUpdateFolder + L"Version.cfg";
    CreateFolderChain(fetched);
    // The check's fetches come in a burst: the connection state is read once,
    // before the reads ahead start (the reading is work, the fetches waiting).
    HeldFiles held(context_.paths.settingsFolder, context_.Crypto(),
                   WithConnectionFlags(context_.fetch, ConnectionFlags()));
    if (!remembered_)
        remembered_ = std::make_shared<RememberedFiles>();
    held.Remember(*remembered_, FileNamePart(context_.paths.updateListFile));
    const int code = CheckWith(held);
    *remembered_ = held.TakeLearnt();
    return code;
}

int UpdateChecker::CheckWith(HeldFiles& held) {
    const std::wstring fetched = context_.paths.selfUpdateFolder + L"Version.cfg";
    held.ReadAheadSet(FileNamePart(context_.paths.updateListFile), ThreadAnsiCodePage());
    const std::wstring url = context_.rootUrl + L"VeyrantSettingV2/Version.cfg";
    if (std::optional<HeldFile> list = held.Fetch(url, fetched, {}, false)) {
        held.FetchSignature(url, fetched);
        Trace(L"成功事件：版本文件下载成功");
        return Compare(*list, held);
    }
    if (!PathFileExistsW(context_.paths.versionListFile.c_str())) {
        Trace(L"失败事件：本地版本文件不存在");
        return UpdateCode::kNoVersionList;
    }
    Trace(L"失败事件：版本文件下载失败，开始检查本地其他配置文件");
    if (!VerifyLocalCompanionFiles(held)) {
        Trace(L"失败事件：验证本地其他配置文件失败");
        return UpdateCode::kNoVersionList;
    }
    StoreHeldSet(held, true);
    return RunApplicationCheckStep(held);
}

// The configuration set from the held files; with `keepTexts` the held texts
// stay for the steps after it (the application check reads the update list).
bool UpdateChecker::StoreHeldSet(HeldFiles& held, bool keepTexts) const {
    return held.StoreSet(context_.Trace(), *context_.texts, keepTexts);
}

// The application file check as a step of the update check: 46, 47 or 48.
int UpdateChecker::RunApplicationCheckStep(HeldFiles& held) {
    Trace(L"成功事件：开始应用程序文件校验");
    const AppCheck result = ApplicationFileCheck(held);
    held.DropDocuments();
    switch (result) {
    case AppCheck::UpdateListUnreadable:
        Trace(L"失败事件：Update.cfg文件解密失败或内容不合法");
        return UpdateCode::kInvalidList;
    case AppCheck::FileMismatch:
        Trace(L"失败事件：应用程序文件校验失败");
        return UpdateCode::kApplicationFileBad;
    default:
        Trace(L"成功事件：应用程序文件校验成功");
        return UpdateCode::kCompleted;
    }
}

// --- Comparison with the fetched server list ------------------------------------

int UpdateChecker::Compare(HeldFile& fetchedList, HeldFiles& held) {
    const std::wstring fetched = context_.paths.selfUpdateFolder + L"Version.cfg";
    const std::optional<std::wstring>& text = held.Text(fetchedList);
    if (!text)
        return UpdateCode::kInvalidList;
    XmlNode list;
    if (!list.LoadXml(*text)) {
        Trace(L"失败事件：解析版本文件失败！");
        return UpdateCode::kInvalidList;
    }
    unsigned long long serial = 0;
    if (int code = CheckSerial(list, serial))
        return code;
    std::vector<ListEntry> entries;
    for (const auto& child : list.FindChildOrSelf(L"Files")->Children()) {
        entries.push_back(ListEntry{
            child->GetIntAttribute(L"id", 0), child->GetAttribute(L"Name", L""),
            child->GetAttribute(L"Url", L""),
            _wtoi64(child->GetAttribute(L"Version", L"0").c_str()), ListedChecksumsOf(*child)});
    }
    // A name from the server is one file of the settings folder, never a path.
    for (const ListEntry& entry : entries) {
        if (!IsSafeFileName(entry.name)) {
            TraceEntry(false, entry, L"文件名不合法");
            return UpdateCode::kInvalidList;
        }
    }
    // The copies the list names are read and hashed beside the fetches of the
    // missing ones; each is used only where it was used before.
    for (const ListEntry& entry : entries) {
        if (PathFileExistsW((context_.paths.settingsFolder + entry.name).c_str()))
            held.Prepare(entry.name, entry.listed);
    }
    if (int code = FirstPass(entries, held))
        return code;
    long long localVersion = 0;
    if (int code = UpdateListPass(entries, localVersion, held))
        return code;
    const int appCheck = RunApplicationCheckStep(held);
    if (appCheck == UpdateCode::kApplicationFileBad) {
        // The list itself passed: the self-update may repair the client with it.
        RememberSerial(serial);
        std::lock_guard guard(stateLock_);
        acceptedVersionList_ = *text;
    }
    if (appCheck != UpdateCode::kCompleted)
        return appCheck;
    long long serverVersion = 0;
    for (const ListEntry& entry : entries) {
        if (IsSelfUpdateItem(entry.id)) {
            serverVersion = entry.version;
            break;
        }
    }
    Trace(FormatW(L"成功事件：新版本：%I64d 本地版本：%I64d", serverVersion, localVersion));
    if (int code = ThirdPass(entries, held))
        return code;

    held.FinishRead(FileNamePart(context_.paths.versionListFile)); // a list may name it too
    if (MoveWithSignature(fetched, context_.paths.versionListFile))
        Trace(L"成功事件：版本文件移动成功");
    else
        Trace(L"失败事件：版本文件移动失败");
    // Nothing reads the held texts after this: they are handed over, not copied.
    StoreHeldSet(held, false);
    RememberSerial(serial);
    std::lock_guard guard(stateLock_);
    acceptedVersionList_ = *text;
    if (pendingResult_ != 0) {
        Trace(L"成功事件：Utility文件有更新");
        return pendingResult_;
    }
    Trace(L"成功事件：启动检查完成");
    return UpdateCode::kCompleted;
}

// Fetches an entry (with its signature) into the self-update folder, verifies
// the bytes as they arrived and moves both files over the settings folder's
// copies, whose held entry becomes the fetched one; 0, or the code that ends
// the comparison. A file that fails its checksums is deleted, so nothing
// unverified stays behind.
int UpdateChecker::FetchIntoPlace(const ListEntry& entry, const FetchEvents& events,
                                  HeldFiles& held) {
    auto trace = [&](bool success, const wchar_t* event) {
        if (event)
            TraceEntry(success, entry, event);
    };
    const std::wstring downloaded = context_.paths.selfUpdateFolder + entry.name;
    // The update list's document is needed next: parsed beside the fetches.
    const bool parse = IsSelfUpdateItem(entry.id) ||
                       EqualsNoCase(entry.name, FileNamePart(context_.paths.updateListFile));
    std::optional<HeldFile> file = held.Fetch(entry.url, downloaded, entry.listed, parse);
    if (!file) {
        trace(false, events.fetchFailed);
        return UpdateCode::kFetchFailed;
    }
    trace(true, events.fetched);
    held.FetchSignature(entry.url, downloaded);
    // A file the signature rule refuses is no better than one whose checksum
    // fails: it is not moved into place and the check ends with 46.
    if (!held.MatchesListed(*file, entry.listed) || !held.Authentic(*file)) {
        trace(false, events.checkFailed);
        DeleteWithSignature(downloaded);
        return UpdateCode::kInvalidList;
    }
    trace(true, events.checkPassed);
    const std::wstring local = context_.paths.settingsFolder + entry.name;
    held.FinishRead(entry.name);
    if (!MoveWithSignature(downloaded, local)) {
        TraceEntry(false, entry, L"文件移动失败");
        return UpdateCode::kMoveFailed;
    }
    // A signature that could not follow its file leaves the copy without one:
    // its verdict is then the one on disk, judged again when needed.
    if (!IsExistingFile(SignaturePathOf(local)))
        file->authentic.reset();
    held.Replace(entry.name, std::move(*file));
    TraceEntry(true, entry, L"文件移动成功");
    return 0;
}

// Files the settings folder does not have yet are fetched first.
int UpdateChecker::FirstPass(const std::vector<ListEntry>& entries, HeldFiles& held) {
    const FetchEvents events{L"文件下载成功", L"文件下载失败", L"文件验证成功", L"文件验证失败"};
    for (const ListEntry& entry : entries) {
        const std::wstring local = context_.paths.settingsFolder + entry.name;
        if (PathFileExistsW(local.c_str()))
            continue;
        TraceEntry(false, entry, L"文件不存在");
        CreateFolderChain(local);
        if (int code = FetchIntoPlace(entry, events, held))
            return code;
    }
    return 0;
}

// The update list (id 50 or 51) is brought up to date before the application
// files are checked against it.
int UpdateChecker::UpdateListPass(const std::vector<ListEntry>& entries, long long& localVersion,
                                  HeldFiles& held) {
    for (const ListEntry& entry : entries) {
        if (!IsSelfUpdateItem(entry.id))
            continue;
        localVersion = held.Version(entry.name);
        // A copy that matches the list is current only if it would also be
        // accepted when decrypted: one without a valid signature is fetched again.
        if (held.MatchesListed(entry.name, entry.listed) && held.Authentic(entry.name)) {
            TraceEntry(true, entry, L"本地文件存在且校验成功");
            return 0;
        }
        TraceEntry(false, entry, L"文件校验失败");
        return FetchIntoPlace(entry, {nullptr, L"文件下载失败", L"文件校验成功", L"文件校验失败"},
                              held);
    }
    return 0;
}

// Every other file whose copy does not match is replaced; ids 54 and 55 that
// are newer than the installed copy become the check's result.
int UpdateChecker::ThirdPass(const std::vector<ListEntry>& entries, HeldFiles& held) {
    for (const ListEntry& entry : entries) {
        if (IsSelfUpdateItem(entry.id))
            continue;
        if (held.MatchesListed(entry.name, entry.listed) && held.Authentic(entry.name))
            continue;
        TraceEntry(false, entry, L"校验失败");
        const long long installed = held.Version(entry.name);
        if (IsCatalogueUpdateItem(entry.id) && (entry.version > installed || entry.version == 0)) {
            std::lock_guard guard(stateLock_);
            pendingResult_ = entry.id;
            TraceEntry(true, entry, L"需要升级");
        }
        if (int code =
                FetchIntoPlace(entry, {nullptr, L"下载失败", nullptr, L"新文件校验失败"}, held))
            return code;
    }
    return 0;
}

// --- Local verification ---------------------------------------------------------

AppCheck UpdateChecker::ApplicationFileCheck(HeldFiles& held) const {
    if (userSettings_.ApplicationCheckDisabled())
        return AppCheck::Passed;
    // A list that does not parse counts as one that cannot be decrypted.
    const XmlNode* list = held.Document(FileNamePart(context_.paths.updateListFile));
    if (!list) {
        Trace(L"失败事件：Update.cfg解密失败");
        return AppCheck::UpdateListUnreadable;
    }
    Trace(L"成功事件：Update.cfg解密成功");
    for (const XmlNode* assembly : DescendantsNamed(*list, L"assembly")) {
        if (EqualsNoCase(assembly->GetAttribute(L"updatehandle", L""), L"delete"))
            continue;
        std::wstring name = FileNamePart(assembly->GetAttribute(L"url", L""));
        std::wstring local = assembly->GetAttribute(L"local", L"");
        std::optional<std::wstring> folder = InstalledFolderFor(local, installFolders_);
        std::wstring path = folder.value_or(local) + name;
        const ListedChecksums listed = ListedChecksumsOf(*assembly);
        // A device name would block the read, a network folder would be asked
        // for the user's credentials: neither holds an installed file.
        const bool readable = folder && IsSafeFileName(name);
        // One read gives both the verdict and the texts traced on a mismatch.
        const FileChecksums actual =
            readable ? FileChecksumsOf(path, !listed.sha256.empty()) : FileChecksums{};
        if (!readable || !ChecksumsMatchListed(actual, listed)) {
            Trace(L"失败事件：" + path + L"校验失败" + MismatchDetail(listed, actual));
            return AppCheck::FileMismatch;
        }
    }
    return AppCheck::Passed;
}

bool UpdateChecker::VerifyLocalCompanionFiles(HeldFiles& held) const {
    const std::optional<std::wstring>& text =
        held.Text(FileNamePart(context_.paths.versionListFile));
    if (!text) {
        Trace(L"失败事件：本地Version.cfg解密失败");
        return false;
    }
    XmlNode list;
    if (!list.LoadXml(*text)) {
        Trace(L"失败事件：本地Version.cfg解析失败");
        return false;
    }
    for (const auto& child : list.FindChildOrSelf(L"Files")->Children()) {
        std::wstring name = child->GetAttribute(L"Name", L"");
        if (!IsSafeFileName(name) || !held.MatchesListed(name, ListedChecksumsOf(*child)) ||
            !held.Authentic(name)) {
            Trace(L"失败事件：" + name + L"本地文件校验失败");
            return false;
        }
    }
    Trace(L"成功事件：本地配置文件校验成功");
    return true;
}

// Runs on the page's thread beside a possibly running check: it moves no
// files and takes no lock of the check, so the page never waits for a fetch.
short UpdateChecker::UpdateCancel() {
    HeldFiles held(context_.paths.settingsFolder, context_.Crypto());
    Trace(L"成功事件：取消自动更新或无更新内容");
    if (!VerifyLocalCompanionFiles(held)) {
        Trace(L"失败事件：本地其他版本文件校验失败");
        return CancelCode::kCompanionFilesBad;
    }
    if (!StoreHeldSet(held, true)) {
        Trace(L"失败事件：版本文件加载失败");
        return CancelCode::kConfigurationUnreadable;
    }
    int code = RunApplicationCheckStep(held);
    return code == UpdateCode::kCompleted ? CancelCode::kVerified : static_cast<short>(code);
}

// --- The version list's serial ----------------------------------------------------

std::optional<unsigned long long> VersionSerialOf(const XmlNode& list) {
    const std::wstring text = list.GetAttribute(L"serial", L"");
    if (text.empty())
        return 0;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - L'0');
        if (value > (~0ull - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

unsigned long long StoredSerial(const std::wstring& path) {
    std::optional<std::string> text = ReadWholeDiskFile(path, FILE_SHARE_READ, 64);
    unsigned long long value = 0;
    if (!text || text->empty())
        return 0;
    for (char c : *text) {
        if (c < '0' || c > '9' || value > (~0ull - 9) / 10)
            return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

} // namespace

// 0, or 46 when the list's serial is unreadable or older than one accepted
// before: an older list the bank once signed is not taken again.
int UpdateChecker::CheckSerial(const XmlNode& list, unsigned long long& serial) const {
    std::optional<unsigned long long> listed = VersionSerialOf(list);
    const unsigned long long highest = StoredSerial(context_.paths.VersionSerialFile());
    if (!listed || !SerialAcceptable(*listed, highest)) {
        Trace(FormatW(L"失败事件：版本文件序号无效或低于已接受的序号%I64u", highest));
        return UpdateCode::kInvalidList;
    }
    serial = *listed;
    return 0;
}

// Written under another name and moved over, so a cut write keeps the old number.
void UpdateChecker::RememberSerial(unsigned long long serial) const {
    const std::wstring path = context_.paths.VersionSerialFile();
    if (serial == 0 || serial <= StoredSerial(path))
        return;
    const std::string text = FormatA("%I64u", serial);
    const std::wstring temporary = path + L".new";
    bool written = false;
    {
        FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD stored = 0;
        written =
            file &&
            WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &stored, nullptr) &&
            stored == text.size();
    }
    if (!written || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        Trace(L"失败事件：版本文件序号保存失败");
    }
}
