// Dispatch benchmark page, run by bench/run.py in the page host:
//   TovralHost.exe dispatch_page.js -- ITERATIONS ROUNDS
// Times each IDownLoad method as the page calls it (the engine's name look-up
// and Invoke) against a call of the host's own no-op, and each method's name
// look-up ('NAME' in control: GetIDsOfNames only) against the host's look-up of
// "noop". One line per method and round:
//   sample dispid=N name=NAME kind=call|lookup round=R lookup_us=.. ref_lookup_us=..
//          [call_us=.. ref_call_us=..]
// Times are per call, net of an empty loop timed beside them.
//
// A method whose call does work (a worker, a file written or read, a system
// query, an XML parse) cannot show the cost of dispatch: only its look-up is
// timed. The calls below do no work (GetStatuBySurrId(500) and DetectFile(500)
// ask for an id outside every item range, GetPatchFile(3) for no patch step);
// a method that starts doing some moves to the look-ups.

var CALLS = {
  DetectFile: "DetectFile(500)",
  GetLanguage: "GetLanguage()",
  GetClientType: "GetClientType()",
  SetDownLoadList: "SetDownLoadList('')",
  GetStatuBySurrId: "GetStatuBySurrId(500)",
  SaveIDList: "SaveIDList('')",
  GetPatchFile: "GetPatchFile(3)",
  UpdateSymbol: "UpdateSymbol()",
  GetPatchResult: "GetPatchResult()",
  InternetConnAddress: "InternetConnAddress()"
};

// Why each other method is only looked up.
var LOOKUPS = {
  StartDownLoad: "starts a download worker",
  SetLanguage: "writes Default.cfg",
  SaveUserType: "writes Default.cfg",
  GetUserType: "reads Default.cfg",
  GetIEVersion: "reads mshtml.dll's version resource",
  GetSystemVersion: "queries the system version",
  GetSysInfoList: "reads Default.cfg and lists the catalogue's items",
  GetDownLoadList: "parses the stored list with MSXML",
  GetStatuByXML: "parses the stored list with MSXML",
  EBankDownLoad: "starts downloads",
  GetQelLinks: "parses the bank's resource text with MSXML",
  GetSystemInfo: "reads the check list",
  GetSysInfoResult: "starts the report worker",
  OpenSysInfoFile: "opens the report file",
  QueryUpdate: "starts the update worker",
  GetDynamicLink: "parses the bank's resource text with MSXML",
  GetLowVersionSymbol: "reads version resources of installed files",
  UpdateBankVeyr: "hands the control's update over",
  QuitBankVeyr: "ends the page's message loop",
  UpdateCancel: "verifies files and decrypts the configuration"
};

// The interface's methods in DISPID order (1 to 30).
var METHODS = [
  "StartDownLoad", "DetectFile", "SetLanguage", "GetLanguage", "SaveUserType", "GetUserType",
  "GetClientType", "GetIEVersion", "GetSystemVersion", "GetSysInfoList", "SetDownLoadList",
  "GetDownLoadList", "GetStatuBySurrId", "GetStatuByXML", "SaveIDList", "EBankDownLoad",
  "GetQelLinks", "GetPatchFile", "GetSystemInfo", "GetSysInfoResult", "OpenSysInfoFile",
  "QueryUpdate", "UpdateSymbol", "GetDynamicLink", "GetLowVersionSymbol", "UpdateBankVeyr",
  "GetPatchResult", "QuitBankVeyr", "InternetConnAddress", "UpdateCancel"
];

function fail(what) {
  host.echo("FAIL: " + what);
  host.exit(1);
}

// A loop of n statements compiled once, so that nothing but the statement is timed.
function loop(statement) {
  return new Function("c", "h", "n", "for (var i = 0; i < n; ++i) { " + statement + "; }");
}

function timed(fn, control, n) {
  var start = host.clock();
  fn(control, host, n);
  return host.clock() - start;
}

// Each method has exactly one way of being timed, every name resolves, and the
// cheap calls answer what the control answers with no list or update.
function checkSubjects(control) {
  if (METHODS.length != 30)
    fail("the table lists " + METHODS.length + " methods");
  for (var d = 0; d < METHODS.length; ++d) {
    var name = METHODS[d];
    if ((name in CALLS) == (name in LOOKUPS))
      fail(name + " must be either called or looked up");
    if (!(name in control))
      fail("the control does not know " + name);
  }
  if ("NoSuchMethod" in control)
    fail("the control knows an unknown name");
  if (control.GetStatuBySurrId(500) !== 0 || control.DetectFile(500) !== undefined)
    fail("GetStatuBySurrId(500) / DetectFile(500)");
  if (control.GetPatchFile(3) !== "" || control.GetClientType() !== "")
    fail("GetPatchFile(3) / GetClientType()");
  if (!control.SetDownLoadList("") || control.GetLanguage() === "")
    fail("SetDownLoadList('') / GetLanguage()");
  var address = control.InternetConnAddress();
  if (address.indexOf("VeyrantSettingV2/Version.cfg") < 0)
    fail("InternetConnAddress() answered " + address);
}

function subjects() {
  var list = [];
  for (var d = 0; d < METHODS.length; ++d) {
    var name = METHODS[d];
    var subject = {dispid: d + 1, name: name, kind: name in CALLS ? "call" : "lookup",
                   timings: [["lookup_us", loop("'" + name + "' in c")],
                             ["ref_lookup_us", loop("'noop' in h")]]};
    if (subject.kind == "call")
      subject.timings.push(["call_us", loop("c." + CALLS[name])], ["ref_call_us", loop("h.noop()")]);
    list.push(subject);
  }
  return list;
}

// One line of per-call times of one subject in one round; the loops run in
// reverse order every other round, so that no loop always runs first.
function sample(subject, round, control, iterations) {
  var scale = 1000 / iterations; // ms per loop -> microseconds per call
  var base = timed(EMPTY, control, iterations);
  var line = "sample dispid=" + subject.dispid + " name=" + subject.name + " kind=" +
             subject.kind + " round=" + round;
  var count = subject.timings.length;
  var times = [];
  for (var k = 0; k < count; ++k) {
    var t = subject.timings[round % 2 == 0 ? k : count - 1 - k];
    times.push(t[0] + "=" + ((timed(t[1], control, iterations) - base) * scale).toFixed(4));
  }
  host.echo(line + " " + times.join(" "));
}

var EMPTY = loop("");

function run(iterations, rounds) {
  var control = new ActiveXObject("Tovral.DownLoad");
  checkSubjects(control);
  var list = subjects();
  for (var w = 0; w < list.length; ++w) // warm-up: first calls load and compile
    for (var k = 0; k < list[w].timings.length; ++k)
      timed(list[w].timings[k][1], control, 100);
  for (var r = 0; r < rounds; ++r)
    for (var s = 0; s < list.length; ++s)
      sample(list[(s + r * 7) % list.length], r, control, iterations); // start elsewhere
  for (var d = 0; d < METHODS.length; ++d) {
    var name = METHODS[d];
    var how = name in CALLS ? CALLS[name] : "look-up only: " + LOOKUPS[name];
    host.echo("subject dispid=" + (d + 1) + " name=" + name + " how=" + escape(how));
  }
}

run(host.argCount > 0 ? parseInt(host.arg(0), 10) : 20000,
    host.argCount > 1 ? parseInt(host.arg(1), 10) : 7);
