// Dispatch benchmark page, run by bench/run.py in the page host against the
// local bank server, behind a prelude that defines FIXTURE (the lists the page
// hands over, the answers expected of them, the server's address):
//   TovralHost.exe page.js -- ITERATIONS ROUNDS
// First the page has the sample catalogue decrypted (QueryUpdate), as a bank
// page does. Then it times every IDownLoad method as the page calls it:
// - "dispatch": a call that does no work, against a call of the host's no-op;
// - "work": a call with real input (ticked lists, the decrypted catalogue,
//   the real registry and files), loops sized to about 200 ms;
// - "worker": a call that starts a worker, timed with its call-back as one
//   round trip;
// and every method's name look-up ('NAME' in control: GetIDsOfNames only)
// against the host's look-up of "noop". One line per subject and round:
//   sample dispid=N name=NAME label=TEXT kind=KIND round=R lookup_us=.. ref_lookup_us=..
//          [calls=N call_us=.. ref_call_us=..] [roundtrip_us=..]
// (kind "lookup": a method the page cannot call; only its name look-up is timed).
// Times are per call, net of an empty loop timed beside them. Every answer is
// checked (the first against its expectation, the last against the first):
// a wrong answer ends the page with "FAIL:". Methods that cannot be called
// from a page that goes on running are named with the reason.

var STATUS_NOT_INSTALLED = 4, STATUS_NOT_APPLICABLE = 1;
var CHECK_RESULTS = /^<item id="1" statue="[01]" \/><item id="2" statue="[01]" \/><item id="3" statue="[01]" \/><item id="4" statue="[01]" \/><item id="5" statue="[01]" \/>$/;

function isText(a) { return typeof a == "string"; }
function nonEmpty(a) { return isText(a) && a !== ""; }
function isBool(a) { return typeof a == "boolean"; }
function contains(part) {
  return function (a) { return isText(a) && a.indexOf(part) >= 0; };
}

// Each method with how it is called; several rows for a method whose argument
// chooses what it does.
var SUBJECTS = [
  {name: "StartDownLoad", skip: "fetches and installs an item: the chain benchmark times it"},
  {name: "DetectFile", kind: "work", call: "c.DetectFile(1001)", expect: undefined},
  {name: "SetLanguage", kind: "work", call: "c.SetLanguage('chs')", expect: true},
  {name: "GetLanguage", kind: "dispatch", call: "c.GetLanguage()", expect: "chs"},
  {name: "SaveUserType", kind: "work", call: "c.SaveUserType(0, 1, 0)", expect: true},
  {name: "GetUserType", kind: "work", call: "c.GetUserType()", expect: "0,1,0"},
  {name: "GetClientType", kind: "dispatch", call: "c.GetClientType()", expect: ""},
  {name: "GetIEVersion", kind: "work", call: "c.GetIEVersion()", check: nonEmpty},
  {name: "GetSystemVersion", kind: "work", call: "c.GetSystemVersion()", check: nonEmpty},
  {name: "GetSysInfoList", kind: "work", call: "c.GetSysInfoList()",
   expect: FIXTURE.sysInfoAnswer},
  {name: "SetDownLoadList", kind: "work", call: "c.SetDownLoadList(L)",
   list: FIXTURE.downloadList, expect: true},
  {name: "GetDownLoadList", kind: "work", call: "c.GetDownLoadList()",
   list: FIXTURE.downloadList, expect: FIXTURE.downloadAnswer},
  {name: "GetStatuBySurrId", kind: "work", call: "c.GetStatuBySurrId(1001)",
   expect: STATUS_NOT_INSTALLED},
  {name: "GetStatuBySurrId", kind: "work", call: "c.GetStatuBySurrId(5001)",
   expect: STATUS_NOT_APPLICABLE},
  {name: "GetStatuByXML", kind: "work", call: "c.GetStatuByXML()",
   list: FIXTURE.statusList, expect: FIXTURE.statusAnswer},
  {name: "SaveIDList", kind: "dispatch", call: "c.SaveIDList(L)", list: FIXTURE.downloadList,
   expect: false},
  {name: "EBankDownLoad", skip: "fetches and installs a batch: the chain benchmark times it"},
  {name: "GetQelLinks", kind: "work", call: "c.GetQelLinks()",
   check: contains(FIXTURE.linkAddress)},
  {name: "GetPatchFile", kind: "work", call: "c.GetPatchFile(0)", check: isText},
  {name: "GetPatchFile", kind: "worker", call: "c.GetPatchFile(1)",
   callback: "OnPatchCheckComplete"},
  {name: "GetPatchFile", kind: "dispatch", call: "c.GetPatchFile(2)", check: isText},
  {name: "GetSystemInfo", kind: "work", call: "c.GetSystemInfo()",
   check: contains(FIXTURE.checkItem)},
  {name: "GetSysInfoResult", kind: "worker", call: "c.GetSysInfoResult()",
   callback: "onCheckLog"},
  {name: "OpenSysInfoFile", skip: "opens the report in the system's editor, which stays open"},
  {name: "QueryUpdate", skip: "called once before the loops, to decrypt the catalogue: " +
                              "the update benchmark times it"},
  {name: "UpdateSymbol", kind: "dispatch", call: "c.UpdateSymbol()", check: isBool},
  {name: "GetDynamicLink", kind: "work", call: "c.GetDynamicLink()",
   check: contains(FIXTURE.dynamicLink)},
  {name: "GetLowVersionSymbol", kind: "work", call: "c.GetLowVersionSymbol()", check: isBool},
  {name: "UpdateBankVeyr", skip: "hands the control's own update to the updater and ends " +
                                 "the browser's process"},
  {name: "GetPatchResult", kind: "dispatch", call: "c.GetPatchResult()", check: isText},
  {name: "QuitBankVeyr", skip: "ends the page's message loop"},
  {name: "InternetConnAddress", kind: "dispatch", call: "c.InternetConnAddress()",
   expect: FIXTURE.versionUrl},
  {name: "UpdateCancel", kind: "work", call: "c.UpdateCancel()", expect: 3}
];

// The interface's methods in DISPID order (1 to 30).
var METHODS = [
  "StartDownLoad", "DetectFile", "SetLanguage", "GetLanguage", "SaveUserType", "GetUserType",
  "GetClientType", "GetIEVersion", "GetSystemVersion", "GetSysInfoList", "SetDownLoadList",
  "GetDownLoadList", "GetStatuBySurrId", "GetStatuByXML", "SaveIDList", "EBankDownLoad",
  "GetQelLinks", "GetPatchFile", "GetSystemInfo", "GetSysInfoResult", "OpenSysInfoFile",
  "QueryUpdate", "UpdateSymbol", "GetDynamicLink", "GetLowVersionSymbol", "UpdateBankVeyr",
  "GetPatchResult", "QuitBankVeyr", "InternetConnAddress", "UpdateCancel"
];

var WORK_LOOP_MS = 200; // a work call's loop is sized to take about this long
var ROUND_TRIPS = 5;    // worker round trips a round
var callbacks = {};     // call-back name -> the text or count of the last call
function OnPatchCheckComplete() { callbacks.OnPatchCheckComplete = true; host.stop(); }
function onCheckLog(text) { callbacks.onCheckLog = text; host.stop(); }
var updateCode = null;
function OnUpdate(code) { updateCode = code; host.stop(); }

function fail(what) {
  host.echo("FAIL: " + what);
  host.exit(1);
}

function show(value) {
  return (typeof value) + " [" + value + "]";
}

// A loop of n statements compiled once, so that nothing but the statement is timed.
function loop(statement) {
  return new Function("c", "h", "n", "L", "for (var i = 0; i < n; ++i) { " + statement + "; }");
}

function call(statement) {
  return new Function("c", "h", "L", "return " + statement + ";");
}

function timed(fn, control, n, list) {
  var start = host.clock();
  fn(control, host, n, list);
  return host.clock() - start;
}

function checkAnswer(subject, answer, when) {
  var ok = subject.check ? subject.check(answer) : answer === subject.expect;
  if (!ok)
    fail(subject.label + " " + when + " answered " + show(answer) +
         (subject.check ? "" : ", expected " + show(subject.expect)));
}

// Every method is either called or named with its reason, and every name resolves.
function checkTable(control) {
  var covered = {};
  for (var s = 0; s < SUBJECTS.length; ++s)
    covered[SUBJECTS[s].name] = true;
  if (METHODS.length != 30)
    fail("the table lists " + METHODS.length + " methods");
  for (var d = 0; d < METHODS.length; ++d) {
    if (!covered[METHODS[d]])
      fail(METHODS[d] + " is neither called nor named with its reason");
    if (!(METHODS[d] in control))
      fail("the control does not know " + METHODS[d]);
  }
  if ("NoSuchMethod" in control)
    fail("the control knows an unknown name");
}

function decryptCatalogue(control) {
  var start = host.clock();
  control.QueryUpdate();
  host.pump(120000);
  if (updateCode !== 48)
    fail("QueryUpdate ended with " + updateCode + ", expected 48 (the catalogue decrypted)");
  host.echo("query_update ms=" + (host.clock() - start).toFixed(1));
  host.pump(300); // the update worker's last steps
}

// The statement's loop count: cheap calls run `iterations` times, work calls
// as often as fits in about WORK_LOOP_MS.
function sizeLoop(subject, control, iterations) {
  if (subject.kind == "dispatch")
    return iterations;
  var probe = Math.max(1, timed(subject.loop, control, 3, subject.list) / 3);
  return Math.max(5, Math.min(iterations, Math.round(WORK_LOOP_MS / probe)));
}

function roundTrip(subject, control) {
  var start = host.clock();
  for (var k = 0; k < ROUND_TRIPS; ++k) {
    callbacks[subject.callback] = undefined;
    subject.once(control, host, subject.list);
    if (!host.pump(120000) || !callbacks[subject.callback])
      fail(subject.label + ": no " + subject.callback + " call-back");
  }
  return (host.clock() - start) * 1000 / ROUND_TRIPS;
}

function prepare(control, iterations) {
  var called = [];
  for (var s = 0; s < SUBJECTS.length; ++s) {
    var subject = SUBJECTS[s];
    subject.dispid = 1;
    while (METHODS[subject.dispid - 1] != subject.name)
      ++subject.dispid;
    if (subject.skip) { // its name look-up is still timed
      called.push({name: subject.name, dispid: subject.dispid, label: subject.name,
                   kind: "lookup", calls: iterations});
      continue;
    }
    subject.label = subject.call.replace(/^c\./, "");
    subject.once = call(subject.call);
    subject.loop = loop(subject.call);
    if (subject.list !== undefined)
      control.SetDownLoadList(subject.list);
    if (subject.kind == "worker") {
      subject.calls = iterations; // for its look-up loops
      roundTrip(subject, control); // warm-up, and the call-back arrives
      // The call-back carries each check's result by number; the names came with GetSystemInfo.
      if (subject.callback == "onCheckLog" && !CHECK_RESULTS.test(callbacks.onCheckLog))
        fail("the report is not five check results: " + callbacks.onCheckLog);
    } else {
      checkAnswer(subject, subject.once(control, host, subject.list), "first");
      subject.calls = sizeLoop(subject, control, iterations);
    }
    called.push(subject);
  }
  return called;
}

// One line of per-call times of one subject in one round; the loops run in
// reverse order every other round, so that no loop always runs first.
function sample(subject, round, control) {
  if (subject.list !== undefined)
    control.SetDownLoadList(subject.list);
  var line = "sample dispid=" + subject.dispid + " name=" + subject.name + " label=" +
             escape(subject.label) + " kind=" + subject.kind + " round=" + round;
  var n = subject.calls;
  var loops = [["lookup_us", LOOKUP[subject.name]], ["ref_lookup_us", REF_LOOKUP]];
  if (subject.kind == "worker") {
    line += " roundtrip_us=" + roundTrip(subject, control).toFixed(1);
  } else if (subject.kind != "lookup") {
    loops.push(["call_us", subject.loop], ["ref_call_us", NOOP]);
    line += " calls=" + n;
  }
  var base = timed(EMPTY, control, n, subject.list);
  var times = [];
  for (var k = 0; k < loops.length; ++k) {
    var t = loops[round % 2 == 0 ? k : loops.length - 1 - k];
    times.push(t[0] + "=" + ((timed(t[1], control, n, subject.list) - base) * 1000 / n).toFixed(4));
  }
  host.echo(line + " " + times.join(" "));
  if (subject.kind != "worker" && subject.kind != "lookup")
    checkAnswer(subject, subject.once(control, host, subject.list), "after round " + round);
}

var EMPTY = loop("");
var NOOP = loop("h.noop()");
var REF_LOOKUP = loop("'noop' in h");
var LOOKUP = {};
for (var m = 0; m < METHODS.length; ++m)
  LOOKUP[METHODS[m]] = loop("'" + METHODS[m] + "' in c");

function run(iterations, rounds) {
  var control = new ActiveXObject("Tovral.DownLoad");
  checkTable(control);
  decryptCatalogue(control);
  var list = prepare(control, iterations);
  for (var r = 0; r < rounds; ++r)
    for (var s = 0; s < list.length; ++s)
      sample(list[(s + r * 7) % list.length], r, control); // start elsewhere
  for (var k = 0; k < SUBJECTS.length; ++k)
    if (SUBJECTS[k].skip)
      host.echo("skipped dispid=" + SUBJECTS[k].dispid + " name=" + SUBJECTS[k].name +
                " why=" + escape(SUBJECTS[k].skip));
}

run(host.argCount > 0 ? parseInt(host.arg(0), 10) : 20000,
    host.argCount > 1 ? parseInt(host.arg(1), 10) : 7);
