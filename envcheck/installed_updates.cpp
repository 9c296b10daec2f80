#include "envcheck/installed_updates.h"

#include "common/com_types.h"
#include "common/text.h"
#include "common/trace_sink.h"

// This is the one file that defines the update agent's class and interface ids.
#include <initguid.h>
#include <wuapi.h>

namespace {

constexpr int kSessionNotCreated = -2;
constexpr int kSearcherNotCreated = -3;

void TraceFailure(const TraceSink& trace, const std::wstring& code, const wchar_t* reason) {
    trace.Write(L"失败事件：补丁检测错误码：" + code + reason);
}

std::wstring HresultText(HRESULT hr) {
    return FormatW(L"0x%08X", static_cast<unsigned>(hr));
}

std::wstring FirstString(IStringCollection* strings) {
    LONG count = 0;
    Bstr first;
    if (!strings || FAILED(strings->get_Count(&count)) || count < 1 ||
        FAILED(strings->get_Item(0, first.out())))
        return {};
    return first.str();
}

InstalledUpdate ReadUpdate(IUpdate* update) {
    InstalledUpdate record;
    Bstr title, severity, description;
    if (SUCCEEDED(update->get_Title(title.out())))
        record.title = title.str();
    if (SUCCEEDED(update->get_MsrcSeverity(severity.out())))
        record.severity = severity.str();
    if (SUCCEEDED(update->get_Description(description.out())))
        record.description = description.str();
    ComPtr<IStringCollection> bulletins, articles;
    if (SUCCEEDED(update->get_SecurityBulletinIDs(&bulletins)))
        record.bulletinId = FirstString(bulletins.Get());
    if (SUCCEEDED(update->get_KBArticleIDs(&articles)))
        record.kbArticleId = FirstString(articles.Get());
    return record;
}

// The searcher, or null after tracing why there is none.
ComPtr<IUpdateSearcher> CreateSearcher(const TraceSink& trace) {
    ComPtr<IUpdateSession> session;
    ComPtr<IUpdateSearcher> searcher;
    if (FAILED(CoCreateInstance(CLSID_UpdateSession, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IUpdateSession, &session)) ||
        !session) {
        TraceFailure(trace, FormatW(L"%d", kSessionNotCreated), L" 错误原因：补丁检测组建创建失败");
        return nullptr;
    }
    if (FAILED(session->CreateUpdateSearcher(&searcher)) || !searcher) {
        TraceFailure(trace, FormatW(L"%d", kSearcherNotCreated),
                     L" 错误原因：补丁检测组建创建失败");
        return nullptr;
    }
    return searcher;
}

// Offline only: the check must not wait for Windows Update's servers.
ComPtr<ISearchResult> SearchInstalled(IUpdateSearcher* searcher, const TraceSink& trace) {
    ComPtr<ISearchResult> result;
    HRESULT hr = searcher->put_Online(VARIANT_FALSE);
    if (SUCCEEDED(hr))
        hr = searcher->Search(Bstr(L"IsInstalled = 1").get(), &result);
    if (SUCCEEDED(hr) && !result)
        hr = E_POINTER;
    if (FAILED(hr)) {
        TraceFailure(trace, HresultText(hr), L" 错误原因：补丁检测败");
        return nullptr;
    }
    return result;
}

std::vector<InstalledUpdate> ReadUpdates(ISearchResult* result) {
    std::vector<InstalledUpdate> records;
    ComPtr<IUpdateCollection> updates;
    LONG count = 0;
    if (FAILED(result->get_Updates(&updates)) || !updates || FAILED(updates->get_Count(&count)))
        return records;
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IUpdate> update;
        if (FAILED(updates->get_Item(i, &update)) || !update)
            break;
        records.push_back(ReadUpdate(update.Get()));
    }
    return records;
}

} // namespace

std::vector<InstalledUpdate> QueryInstalledUpdates(const TraceSink& trace) {
    ComApartment apartment(COINIT_MULTITHREADED);
    if (!apartment.usable()) {
        TraceFailure(trace, HresultText(apartment.result()), L" 错误原因：COM初始化失败");
        return {};
    }
    ComPtr<IUpdateSearcher> searcher = CreateSearcher(trace);
    ComPtr<ISearchResult> result = searcher ? SearchInstalled(searcher.Get(), trace) : nullptr;
    if (!result)
        return {};
    std::vector<InstalledUpdate> records = ReadUpdates(result.Get());
    trace.Write(L"成功事件：补丁检测成功");
    return records;
}
