// The second visit after the bank published a new client release: the update
// check finds the new update list, the page starts the self-update, and the
// control hands the release to the updater and ends this browser process.
var updateCode = null, updateError = null;
function OnUpdate(code) { updateCode = code; host.stop(); }
function OnVeyrUpdateError(code) { updateError = code; host.stop(); }

var control = new ActiveXObject("Tovral.DownLoad");
host.echo("QueryUpdate:    " + control.QueryUpdate() + " (worker started)");
host.echo("OnUpdate:       " + (host.pump(120000) ? updateCode : "no answer within two minutes"));
host.echo("browser process " + host.processId + " starts the self-update");
host.echo("UpdateBankVeyr: " + control.UpdateBankVeyr());
// When the updater has been started the control ends this process here.
host.pump(120000);
host.echo("still running: OnVeyrUpdateError(" + updateError + ")");
