#include "envcheck/diagnosis_report.h"

#include "common/text.h"
#include "config/xml_node.h"
#include "config/xml_escape.h"

namespace {

const XmlNode* ExamineElement(const XmlNode& root) {
    return EqualsNoCase(root.GetName(), L"examine") ? &root : root.FindChild(L"examine");
}

// The report is written in text mode: a line feed becomes CR LF. Code page
// 936 trail bytes never equal a line feed, so bytes are safe to scan.
std::string TextMode(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 16);
    for (char c : bytes) {
        if (c == '\n')
            out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

class ReportText {
public:
    explicit ReportText(unsigned codePage) : codePage_(codePage) {}
    ReportText& operator<<(const char* ascii) {
        bytes_ += ascii;
        return *this;
    }
    ReportText& operator<<(const std::string& ansi) {
        bytes_ += ansi;
        return *this;
    }
    ReportText& operator<<(const std::wstring& text) {
        bytes_ += ToCodePage(text, codePage_);
        return *this;
    }
    ReportText& operator<<(const wchar_t* text) { return *this << std::wstring(text); }
    std::string Bytes() const { return TextMode(bytes_); }

private:
    unsigned codePage_;
    std::string bytes_;
};

void WriteHead(ReportText& out, const ReportInputs& in) {
    out << L"日志文件保存路径(Log file Path):\n" << in.reportPath << "\n";
    out << L"\n请将该文件通过电子邮件发送给与您联系的客服人员\n"
        << "(Please email this log file to Zelmor's customer service)\n\n";
    out << L"系统信息：\n" << "\n";
    out << "System Version :" << in.systemText << "\n\n";
    out << "IE Version:" << in.ieMajor << "\n\n";
    out << L"\n网银控件和应用安装说明\n"
        << "(Internet Banking applications and ActiveX check list):\n\n";
}

void WriteInventories(ReportText& out, const ReportInputs& in) {
    out << "\nProcessSnapshot:\n";
    for (const ProcessRecord& process : in.processes)
        out << "ProcessPath:" << process.path << "  ProcessInfo:" << process.info << "\n";
    out << "\n";
    out << "BHO List:\n\n";
    for (const HelperObjectRecord& bho : in.helperObjects) {
        if (!bho.progId.empty())
            out << "PROGID: " << bho.progId << " FilePath: " << bho.path
                << " FileVersion: " << bho.version << "\n";
    }
}

} // namespace

CheckList ReadCheckList(const std::wstring& resourceText, std::wstring_view language) {
    CheckList list;
    XmlNode root;
    if (!root.LoadXml(resourceText))
        return list;
    const XmlNode* examine = ExamineElement(root);
    list.state = examine ? CheckListState::Read : CheckListState::NoExamine;
    const XmlNode* items =
        examine ? examine->FindChild(EqualsNoCase(language, L"chs") ? L"chs" : L"eng") : nullptr;
    for (size_t i = 0; items && i < items->ChildCount(); ++i) {
        const XmlNode& item = *items->Child(i);
        list.items.push_back({item.GetAttribute(L"id", L""), item.GetAttribute(L"name", L"")});
    }
    return list;
}

// Ids are escaped as well: a list that a quote in an id could break would
// hand the page attributes nobody wrote.
std::wstring ItemListText(const std::vector<CheckItem>& items) {
    std::wstring text;
    for (const CheckItem& item : items)
        text += L"<item id=\"" + EscapeXmlAttribute(item.id) + L"\" name=\"" +
                EscapeXmlAttribute(item.name) + L"\" statue=\"0\" />";
    return text;
}

std::wstring ResultListText(const std::vector<CheckItem>& items) {
    std::wstring text;
    for (const CheckItem& item : items)
        text += L"<item id=\"" + EscapeXmlAttribute(item.id) + L"\" statue=\"1\" />";
    return text;
}

std::string DiagnosisReportBytes(const ReportInputs& inputs, unsigned codePage) {
    ReportText out(codePage);
    WriteHead(out, inputs);
    out << inputs.controlSection << "\n";
    out << inputs.applicationSection << "\n";
    WriteInventories(out, inputs);
    return out.Bytes();
}
