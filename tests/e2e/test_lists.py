"""The list methods as a bank page uses them, on the sample catalogue that a
QueryUpdate against the local bank server decrypted: the download list, the
status list of the stored list, the system-information list of two user
types, and item statuses before and after the sample components are put on
the PC. The texts are compared whole."""

import unittest

from tests.e2e.harness import SAMPLES_DIR, to_windows, trace_texts, wine
from tests.e2e.sample_bank import CERT_KEY, SampleBankTestCase, reg

NAMES = {
    1001: ("网银安全输入控件", "保护密码输入"),
    1002: ("网银签名控件", "网上交易签名"),
    1003: ("网银证书控件", "证书管理 &amp; 更新"),
    4001: ("网银客户端", "企业网银客户端程序"),
    4002: ("网银助手", "检查并修复网银环境"),
}
OPTIMIZERS = {
    5051: ("加入受信任站点", "将网银站点加入受信任站点"),
    5052: ("网页刷新方式", "每次访问时检查网页的较新版本"),
    5053: ("允许弹出窗口", "允许网银站点弹出窗口"),
    5054: ("弹出窗口阻止级别", "设置为中"),
    5055: ("受信任站点安全设置", "允许ActiveX控件"),
}


def res(item_id, type_="", flag="true"):
    name, info = NAMES[item_id]
    return (f'<res id="{item_id}" Type="{type_}" falg="{flag}" FileType="{str(item_id)[0]}" '
            f'Name="{name}" Info="{info}"></res>\n')


def optimizer(item_id, type_="", flag="true"):
    name, info = OPTIMIZERS[item_id]
    return (f'<site id="{item_id}" Type="{type_}" falg="{flag}" FileType="5" name="{name}" '
            f'info="{info}"></site>\n')


def cert(type_="", flag="true"):
    # The certificate fragment alone ends without a line feed.
    return (f'<cert id="3001" Type="{type_}" falg="{flag}" FileType="3" name="Zelmor 测试根证书" '
            'info="网银服务器证书的颁发机构"></cert>')


TRUSTED_2001 = ('<site id="2001" FileType="2" info="网上银行" url="https://ebank.example.cn" '
                'Oper="add"></site>\n')
POPUP_5001 = '<site id="5001" strType="" FileType="5" info="网上银行弹出窗口"></site>\n'


def update(*entries):
    return "<Update>" + "".join(entries) + "</Update>"


def echo_text(expression):
    """Page code that prints a text with its line feeds visible."""
    return f'host.echo(({expression}).replace(/\\n/g, "\\\\n"));'


def visible(text):
    return text.replace("\n", "\\n")


DOWNLOAD_LIST = ("<list><item id='1001' falg='TRUE'/><item id='1002' falg='false'/>"
                 "<item id='1003' falg='true'/><item id='4001' falg='True'/>"
                 "<item id='2001' falg='true'/><item id='3001' falg='true'/>"
                 "<item id='5001' falg='true'/><item id='5051' falg='true'/>"
                 "<item id='999' falg='true'/><item id='1999' falg='true'/>"
                 "<item id='4002'/></list>")

STATUS_LIST = ("<Update><item id='1001' falg='true' Type='必装'/>"
               "<item id='1002' falg='false' Type='A&amp;B &quot;x&quot;'/>"
               "<item id='4001' falg='true' Type='必装'/><item id='4002' falg='true' Type='推荐'/>"
               "<item id='3001' falg='true' Type='必装'/><item id='2001'/>"
               "<item id='5001' falg='true'/><item id='5052' falg='false' Type='推荐'/>"
               "<item id='0'/></Update>")

LIST_PAGE = ("o.SetDownLoadList(\"" + DOWNLOAD_LIST + "\");" + echo_text("o.GetDownLoadList()")
             + "o.SetDownLoadList(\"" + STATUS_LIST + "\");" + echo_text("o.GetStatuByXML()")
             + "o.SetDownLoadList('<list>');"
             + "host.echo('[' + o.GetDownLoadList() + '|' + o.GetStatuByXML() + ']');")

SYSINFO_PAGE = ("host.echo(o.GetUserType());" + echo_text("o.GetSysInfoList()")
                + "o.SaveUserType(1, 2, 0); host.echo(o.GetUserType());"
                + echo_text("o.GetSysInfoList()")
                + "o.SaveUserType(7, 7, 7);" + echo_text("o.GetSysInfoList()"))

STATUS_IDS = [1001, 1002, 1003, 4001, 4002, 3001, 2001, 5001, 5051, 999]
STATUS_PAGE = ("".join(f"host.echo('{i}=' + o.GetStatuBySurrId({i}));" for i in STATUS_IDS)
               + "host.echo('DetectFile ' + o.DetectFile(1001));"
               + "o.SetDownLoadList(\"" + STATUS_LIST + "\");" + echo_text("o.GetStatuByXML()"))


class ListsTest(SampleBankTestCase):
    def test_download_and_status_lists_of_the_stored_list(self):
        lines = self.run_bank_page(LIST_PAGE)
        # Only flagged items, in list order; unknown and sub-1000 ids give nothing.
        self.assertEqual(lines[0], visible(update(
            res(1001), res(1003), res(4001), TRUSTED_2001, cert(), POPUP_5001, optimizer(5051))))
        # Nothing is installed: every control is listed, both applications
        # need installing, the pop-up site counts as an application here and
        # is not in that section; the page's own texts come back escaped.
        self.assertEqual(lines[1], visible(update(
            res(1001, "必装"), res(1002, "A&amp;B &quot;x&quot;", "false"),
            res(4001, "必装"), res(4002, "推荐"), cert("必装"), TRUSTED_2001,
            optimizer(5052, "推荐", "false"))))
        self.assertEqual(lines[2], "[|]", "a list that does not parse gives nothing")

    def test_system_information_list_of_each_user_type(self):
        lines = self.run_bank_page(SYSINFO_PAGE)
        self.assertEqual(lines[0], "0,1,0")
        self.assertEqual(lines[1], visible(update(
            res(4001, "必装", ""), res(4002, "推荐", ""), res(1001, "必装", ""),
            res(1002, "必装", ""), res(1003, "推荐", ""),
            *[optimizer(i, "推荐", "") for i in sorted(OPTIMIZERS)], cert("必装", ""))))
        self.assertEqual(lines[2], "1,2,0")
        self.assertEqual(lines[3], visible(update(
            res(4001, "必装", ""), res(1001, "必装", ""), optimizer(5051, "必装", ""),
            optimizer(5053, "必装", ""), cert("必装", ""))))
        self.assertEqual(lines[4], update(), "a user type without a client kind")

    def test_statuses_before_and_after_the_components_are_on_the_pc(self):
        before = self.run_bank_page(STATUS_PAGE)
        self.assertEqual(before[:len(STATUS_IDS)], [
            "1001=4", "1002=4", "1003=4", "4001=4", "4002=4", "3001=4", "2001=4", "5001=1",
            "5051=1", "999=0"])
        self.assertEqual(before[len(STATUS_IDS)], "DetectFile undefined")
        self.assertEqual(before[-1], visible(update(
            res(1001, "必装"), res(1002, "A&amp;B &quot;x&quot;", "false"),
            res(4001, "必装"), res(4002, "推荐"), cert("必装"), TRUSTED_2001,
            optimizer(5052, "推荐", "false"))))
        # DetectFile ran the control check (its result is not returned).
        self.assertEqual(trace_texts().count("文件号：1001 错误原因：安装检查注册表项不存在"), 2)

        self.put_components_on_the_pc()
        after = self.run_bank_page(STATUS_PAGE)
        self.assertEqual(after[:len(STATUS_IDS)], [
            "1001=3", "1002=3", "1003=4", "4001=3", "4002=4", "3001=3", "2001=4", "5001=1",
            "5051=1", "999=0"])
        # The installed client application leaves the status list.
        self.assertEqual(after[-1], visible(update(
            res(1001, "必装"), res(1002, "A&amp;B &quot;x&quot;", "false"), res(4002, "推荐"),
            cert("必装"), TRUSTED_2001, optimizer(5052, "推荐", "false"))))

    def put_components_on_the_pc(self):
        """The two controls registered from the client folder, the client
        application installed by its installer, the certificate's key made."""
        for name in ["SampleCtl.dll", "SampleCtl.ocx"]:
            path = self.client.path / name
            path.write_bytes((SAMPLES_DIR / name).read_bytes())
            self.assertEqual(wine(["regsvr32", "/s", to_windows(path)]).returncode, 0, name)
        self.assertEqual(wine([SAMPLES_DIR / "BankClientSetup.exe"]).returncode, 0)
        reg("add", CERT_KEY, "/f")


if __name__ == "__main__":
    unittest.main()
