// The demo page: what an online-banking page does with the control on a
// customer's PC, printed instead of shown. The driver (demo.py) runs it in the
// page host against the local bank server.
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

// The environment checks, on the catalogue and lists the update check decrypted.
var checkLog = null;
function onCheckLog(text) { checkLog = text; host.stop(); }
host.echo("control 1001:   " + control.GetStatuBySurrId(1001));
host.echo("client 4001:    " + control.GetStatuBySurrId(4001));
host.echo("check items:    " + control.GetSystemInfo());
control.GetSysInfoResult();
host.echo("onCheckLog:     " + (host.pump(120000) ? checkLog : "no answer within two minutes"));
host.echo("patches:        " + control.GetPatchFile(0));
