// A page that shows one call-back arriving: the host posts the control's
// "download completed" message and the page's function receives it.
function OnDownloadCompleted(id, ok) {
    host.echo("OnDownloadCompleted(" + id + "," + ok + ")");
    host.stop();
}
var control = new ActiveXObject("Tovral.DownLoad");
host.post(0x54D, 7, -1);
if (!host.pump(5000)) {
    host.echo("no call-back within five seconds");
    host.exit(1);
}
