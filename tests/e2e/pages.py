"""Pieces of page scripts that the end-to-end stories share, and the texts
the pages print, so a story is written as the page's own steps. A page is
JScript text: PAGE_PRELUDE (harness) for check()/same(), then these pieces
joined in the order the page runs them."""

from tests.e2e.harness import PAGE_PRELUDE

CREATE_CONTROL = 'var o = new ActiveXObject("Tovral.DownLoad");\n'

# The page's assertion kit and its control.
CONTROL_PAGE = PAGE_PRELUDE + CREATE_CONTROL


def update_check(expect=None, report=False, settle_ms=0):
    """QueryUpdate on `o`, waited for until OnUpdate: `updateStarted` holds
    what QueryUpdate returned, `updateCode` the code. `expect` ends the page
    unless the code is that; `report` prints "update CODE"; `settle_ms` pumps
    on for the update worker's last trace lines."""
    text = r"""
var updateCode = "none";
function OnUpdate(c) { updateCode = c; host.stop(); }
var updateStarted = o.QueryUpdate();
host.pump(60000);
"""
    if expect is not None:
        text += f'same(updateCode, {expect}, "update check");\n'
    if report:
        text += 'host.echo("update " + updateCode);\n'
    if settle_ms:
        text += f"host.pump({settle_ms}); // the update worker's last trace lines\n"
    return text


# The catalogue decrypted by an update check against the bank server.
DECRYPTED = CONTROL_PAGE + update_check(expect=48, settle_ms=300)

# After the update check (reported), the self-update hand-off: the page
# prints the host's process id and what UpdateBankVeyr returned. The host
# ends in the last pump (exit code 1) when the updater has been started;
# otherwise the page prints "error CODE" of OnVeyrUpdateError.
SELF_UPDATE = CREATE_CONTROL + update_check(report=True) + r"""
var updateError = "none";
function OnVeyrUpdateError(c) { updateError = c; host.stop(); }
host.echo("pid " + host.processId);
host.echo("started " + o.UpdateBankVeyr());
host.pump(60000);
host.echo("error " + updateError);
"""

# Records the download call-backs in order; the all-installs call-back ends a
# wait, and a short pump afterwards catches anything posted after it.
CALLBACKS = r"""
var calls = [];
function OnDownloadCompleted(id, ok) { calls.push("OnDownloadCompleted(" + id + "," + ok + ")"); }
function OnAllDownloadCompleted() { calls.push("OnAllDownloadCompleted()"); }
function OnInstalledCompleted(id, ok) { calls.push("OnInstalledCompleted(" + id + "," + ok + ")"); }
function OnAllInstalledCompleted() { calls.push("OnAllInstalledCompleted()"); host.stop(); }
function waitForInstalls(ms) {
  var ended = host.pump(ms || 180000);
  host.pump(700);
  if (!ended) calls.push("no OnAllInstalledCompleted");
  var text = calls.join(";");
  calls = [];
  return text;
}
function batchList(ids) {
  var items = [];
  for (var i = 0; i < ids.length; i++) items.push("<item id='" + ids[i] + "'/>");
  return "<list>" + items.join("") + "</list>";
}
"""


# The recorded call-backs as CALLBACKS writes them.
def downloaded(item_id, ok=True):
    return f"OnDownloadCompleted({item_id},{-1 if ok else 0})"


def installed(item_id, ok=True):
    return f"OnInstalledCompleted({item_id},{-1 if ok else 0})"


ALL_DOWNLOADED = "OnAllDownloadCompleted()"
ALL_INSTALLED = "OnAllInstalledCompleted()"


def succeeded(item_id, last=False):
    """The call-backs of an item fetched (or file-less) and installed."""
    if last:
        return [downloaded(item_id), ALL_DOWNLOADED, installed(item_id), ALL_INSTALLED]
    return [downloaded(item_id), installed(item_id)]


def failed(item_id, last=False):
    """The call-backs of an item that could not be fetched or verified."""
    calls = [downloaded(item_id, False), installed(item_id, False)]
    return calls + ([ALL_DOWNLOADED, ALL_INSTALLED] if last else [])
