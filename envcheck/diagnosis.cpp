#include "envcheck/diagnosis.h"

#include "common/com_types.h"
#include "common/handles.h"
#include "config/folder_chain.h"
#include "envcheck/diagnosis_report.h"
#include "envcheck/ie_version.h"
#include "envcheck/os_version.h"
#include "envcheck/system_inventory.h"

#include <shellapi.h>

namespace {

FileHandle CreateReportFile(const std::wstring& path) {
    CreateFolderChain(path);
    return FileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A report that cannot be written is not the page's concern: the run still
// answers with its result list.
void WriteReport(const FileHandle& file, const std::string& bytes) {
    if (!file)
        return;
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring ReportSystemText() {
    OsDescription os;
    QueryOsVersion(os); // a failed query leaves empty texts, which the report shows as they are
    return FormatFullSystemVersion(os);
}

} // namespace

DiagnosisReporter::DiagnosisReporter(const ComponentContext& context, ComponentChecker& checks)
    : texts_(*context.texts), language_(context.language), logFolder_(context.paths.logFolder),
      checks_(checks) {}

std::wstring DiagnosisReporter::CheckListText() const {
    return texts_.Get(ConfigText::Resource);
}

std::wstring DiagnosisReporter::GetSystemInfo() const {
    return ItemListText(ReadCheckList(CheckListText(), language_()).items);
}

std::wstring DiagnosisReporter::RunCheck() {
    std::lock_guard turn(runLock_);
    return RunCheckAlone();
}

std::wstring DiagnosisReporter::RunCheckAlone() {
    ComApartment apartment(COINIT_MULTITHREADED);
    ReportInputs inputs;
    inputs.reportPath = ReportPath();
    FileHandle file = CreateReportFile(inputs.reportPath);
    CheckList list = ReadCheckList(CheckListText(), language_());
    if (list.state == CheckListState::NoExamine)
        return {}; // the report stays empty
    inputs.helperObjects = CollectHelperObjects();
    inputs.processes = CollectProcesses();
    inputs.ieMajor = GetIeMajorVersion();
    inputs.systemText = ReportSystemText();
    inputs.controlSection = checks_.ReportSection(ComponentKind::Control);
    inputs.applicationSection = checks_.ReportSection(ComponentKind::Application);
    WriteReport(file, DiagnosisReportBytes(inputs, CP_ACP));
    return ResultListText(list.items);
}

short DiagnosisReporter::OpenReport() const {
    std::wstring path = ReportPath();
    CreateFolderChain(path);
    ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return 1;
}
