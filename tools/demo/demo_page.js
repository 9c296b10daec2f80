// The demo page: what an online-banking page does with the control on a
// customer's PC, printed instead of shown. The driver (demo.py) runs it in the
// page host against the local bank server: the update check, the settings,
// the list of the bank's components, one download batch that installs them,
// the statuses before and after, the diagnosis, the patch check (both the
// answer at once and the worker) and the bank's links.
var updateCode = null;
function OnUpdate(code) { updateCode = code; host.stop(); }

var control = new ActiveXObject("Tovral.DownLoad");
host.echo("language:       " + control.GetLanguage());
host.echo("system:         " + control.GetSystemVersion());
host.echo("browser:        " + control.GetIEVersion());
host.echo("too old:        " + control.GetLowVersionSymbol());
host.echo("user type:      " + control.GetUserType());
host.echo("version file:   " + control.InternetConnAddress());

var switched = control.SetLanguage(control.GetLanguage() == "chs" ? "eng" : "chs");
host.echo("SetLanguage:    " + switched + ", language now " + control.GetLanguage());
var saved = control.SaveUserType(1, 2, 0);
host.echo("SaveUserType:   " + saved + ", user type now " + control.GetUserType());

host.echo("UpdateSymbol:   " + control.UpdateSymbol());
host.echo("QueryUpdate:    " + control.QueryUpdate() + " (worker started)");
if (!host.pump(120000))
    host.echo("OnUpdate:       no answer within two minutes");
else
    host.echo("OnUpdate:       " + updateCode);
host.pump(500); // the worker writes its last trace lines after the call-back
host.echo("UpdateSymbol:   " + control.UpdateSymbol());
host.echo("UpdateCancel:   " + control.UpdateCancel());
host.echo("version file:   " + control.InternetConnAddress());
host.echo("user type:      " + control.GetUserType());

// The bank's components as the catalogue lists them: controls (a .dll, an
// .ocx to "localcontrol", a cabinet), applications (an .exe, an .msi), the
// root certificate, a trusted site and the five browser settings.
var ids = [1001, 1002, 1003, 4001, 4002, 3001, 2001, 5051, 5052, 5053, 5054, 5055];
function itemList(tag, attributes) {
    var items = [];
    for (var i = 0; i < ids.length; i++)
        items.push("<item id='" + ids[i] + "'" + attributes + "/>");
    return "<" + tag + ">" + items.join("") + "</" + tag + ">";
}
function echoEntries(title, text) {
    host.echo(title);
    var lines = text.replace("<Update>", "<Update>\n").replace(/<\/cert>/g, "</cert>\n").split("\n");
    for (var i = 0; i < lines.length; i++)
        if (lines[i] != "") host.echo("    " + lines[i]);
}
function echoStatuses(title) {
    var statuses = [];
    for (var i = 0; i < ids.length; i++)
        statuses.push(ids[i] + "=" + control.GetStatuBySurrId(ids[i]));
    host.echo(title + statuses.join(" "));
}

control.SetDownLoadList(itemList("list", " falg='true'"));
echoEntries("download list:", control.GetDownLoadList());
echoEntries("for user type " + control.GetUserType() + ":", control.GetSysInfoList());
echoStatuses("statuses before: ");
control.SetDownLoadList(itemList("Update", " falg='true' Type='必装'"));
echoEntries("still to install:", control.GetStatuByXML());

// One batch: every call-back printed as it arrives, until all installs completed.
var started = new Date().getTime();
function arrived(text) { host.echo("  +" + ((new Date().getTime() - started) / 1000).toFixed(1) + "s " + text); }
function OnDownloadCompleted(id, ok) { arrived("OnDownloadCompleted(" + id + "," + ok + ")"); }
function OnAllDownloadCompleted() { arrived("OnAllDownloadCompleted()"); }
function OnInstalledCompleted(id, ok) { arrived("OnInstalledCompleted(" + id + "," + ok + ")"); }
function OnAllInstalledCompleted() { arrived("OnAllInstalledCompleted()"); host.stop(); }
host.echo("EBankDownLoad:  " + control.EBankDownLoad(itemList("list", "")) + " (batch of " + ids.length + ")");
if (!host.pump(300000))
    host.echo("  no OnAllInstalledCompleted within five minutes");
host.pump(500); // nothing more may arrive after it

echoStatuses("statuses after:  ");
echoEntries("still to install:", control.GetStatuByXML());

// The environment checks, on the catalogue and lists the update check decrypted.
var checkLog = null;
function onCheckLog(text) { checkLog = text; host.stop(); }
host.echo("check items:    " + control.GetSystemInfo());
control.GetSysInfoResult();
host.echo("onCheckLog:     " + (host.pump(120000) ? checkLog : "no answer within two minutes"));
host.echo("patches:        " + control.GetPatchFile(0));

// The same patch check on a worker: the page hears of its end and reads the result.
var patchDone = false;
function OnPatchCheckComplete() { patchDone = true; host.stop(); }
host.echo("GetPatchFile(1):" + control.GetPatchFile(1) + " (worker started)");
host.echo("OnPatchCheckComplete: " + (host.pump(120000) ? "arrived" : "no answer within two minutes"));
host.echo("GetPatchResult: " + control.GetPatchResult());

// The bank's links from the decrypted resource file, in the page's language.
echoEntries("bank links:", control.GetQelLinks());
host.echo("dynamic link:   " + control.GetDynamicLink());
