// Page side of the XML list benchmark, run by bench/run.py in the page host
// against the local bank server, behind a prelude that defines FIXTURE:
//   TovralHost.exe page.js -- ROUNDS ITEMS...
// FIXTURE.pattern holds a page's download-list items (ticked, unticked, ids
// the catalogue lacks) and FIXTURE.answers what GetDownLoadList must answer
// for each. After QueryUpdate has decrypted the sample catalogue, the page
// stores lists of ITEMS items (the pattern over and over) and times
// GetDownLoadList, which loads the stored list through XmlNode and describes
// each ticked item from the catalogue; every answer must equal, whole, the
// pattern's answers repeated in list order. Each round times every list once,
// in alternating order: "page round=R items=N ticked=T seconds=X".
// When FIXTURE.status is given, the page then times GetStatuByXML over a
// status list of FIXTURE.status.items application items (its pattern over and
// over) with each of FIXTURE.status.settings written as Default.cfg (at
// FIXTURE.status.settingsFile), steady (the file untouched for longer than the
// trace log's time step) and right after SetLanguage saved it, as a page does
// at its start; every answer must equal, whole, the pattern's answers
// repeated: "status round=R items=N settings=NAME when=steady|saved seconds=X".

function fail(what) {
  host.echo("FAIL: " + what);
  host.exit(1);
}

var updateCode = null;
function OnUpdate(code) { updateCode = code; host.stop(); }

function listText(items) {
  var lines = ['<?xml version="1.0" encoding="utf-8"?>', "<list>"];
  for (var i = 0; i < items; ++i)
    lines.push("  " + FIXTURE.pattern[i % FIXTURE.pattern.length]);
  lines.push("</list>", "");
  return lines.join("\r\n");
}

function expectedAnswer(items) {
  var parts = ["<Update>"];
  for (var i = 0; i < items; ++i)
    parts.push(FIXTURE.answers[i % FIXTURE.answers.length]);
  parts.push("</Update>");
  return parts.join("");
}

function ticked(items) {
  var count = 0;
  for (var i = 0; i < items; ++i)
    if (FIXTURE.answers[i % FIXTURE.answers.length] !== "")
      ++count;
  return count;
}

// The first place two texts differ, for the failure's message.
function firstDifference(a, b) {
  var i = 0;
  while (i < a.length && i < b.length && a.charAt(i) == b.charAt(i))
    ++i;
  return "at " + i + ": got [" + a.substr(i, 80) + "] expected [" + b.substr(i, 80) + "]";
}

function timeList(control, list) {
  if (!control.SetDownLoadList(list.text))
    fail("SetDownLoadList refused the list of " + list.items + " items");
  var start = host.clock();
  var answer = control.GetDownLoadList();
  var seconds = (host.clock() - start) / 1000;
  if (answer !== list.expected)
    fail("GetDownLoadList of " + list.items + " items, " + firstDifference(answer, list.expected));
  return seconds;
}

function makeList(items) {
  return {items: items, text: listText(items), expected: expectedAnswer(items)};
}

function statusList(status) {
  var parts = ["<Update>"];
  for (var i = 0; i < status.items; ++i)
    parts.push(status.pattern[i % status.pattern.length]);
  parts.push("</Update>");
  var answers = ["<Update>"];
  for (var j = 0; j < status.items; ++j)
    answers.push(status.answers[j % status.answers.length]);
  answers.push("</Update>");
  return {items: status.items, text: parts.join(""), expected: answers.join("")};
}

function timeStatus(control, list, when) {
  if (when == "saved") {
    if (!control.SetLanguage("chs"))
      fail("SetLanguage refused chs");
  } else {
    host.pump(2500); // longer than the trace log's time step since the last save
  }
  if (!control.SetDownLoadList(list.text))
    fail("SetDownLoadList refused the status list");
  var start = host.clock();
  var answer = control.GetStatuByXML();
  var seconds = (host.clock() - start) / 1000;
  if (answer !== list.expected)
    fail("GetStatuByXML of " + list.items + " items (" + when + "), " +
         firstDifference(answer, list.expected));
  return seconds;
}

// Default.cfg as the named settings: its first line, then its filler line
// repeated up to its size.
function writeSettings(settings) {
  var text = [settings.head];
  for (var size = 0; size < settings.fillerBytes; size += settings.filler.length)
    text.push(settings.filler);
  text.push(settings.tail);
  var file = new ActiveXObject("Scripting.FileSystemObject")
                 .CreateTextFile(FIXTURE.status.settingsFile, true, false);
  file.Write(text.join(""));
  file.Close();
}

function timeStatuses(control) {
  var status = FIXTURE.status;
  var list = statusList(status);
  var warmUp = statusList({items: status.pattern.length, pattern: status.pattern,
                           answers: status.answers});
  timeStatus(control, warmUp, "steady");
  for (var r = 0; r < status.rounds; ++r) {
    for (var n = 0; n < status.settings.length; ++n) {
      var settings = status.settings[r % 2 == 0 ? n : status.settings.length - 1 - n];
      writeSettings(settings);
      // The first trace line after any change of Default.cfg reads it once, whatever the
      // method: let the control see the new file before the timed calls.
      timeStatus(control, warmUp, "saved");
      var order = r % 2 == 0 ? ["steady", "saved"] : ["saved", "steady"];
      for (var k = 0; k < order.length; ++k)
        host.echo("status round=" + r + " items=" + list.items + " settings=" + settings.name +
                  " when=" + order[k] + " seconds=" + timeStatus(control, list, order[k]).toFixed(6));
    }
  }
}

function run() {
  var rounds = parseInt(host.arg(0), 10);
  var lists = [];
  for (var a = 1; a < host.argCount; ++a)
    lists.push(makeList(parseInt(host.arg(a), 10)));
  var control = new ActiveXObject("Tovral.DownLoad");
  control.QueryUpdate();
  host.pump(120000);
  if (updateCode !== 48)
    fail("QueryUpdate ended with " + updateCode + ", expected 48 (the catalogue decrypted)");
  host.pump(300); // the update worker's last steps
  if (rounds > 0)
    timeList(control, makeList(FIXTURE.pattern.length)); // warm-up: MSXML loads with the first list
  for (var r = 0; r < rounds; ++r) {
    for (var k = 0; k < lists.length; ++k) {
      var list = lists[r % 2 == 0 ? k : lists.length - 1 - k];
      host.echo("page round=" + r + " items=" + list.items + " ticked=" + ticked(list.items) +
                " seconds=" + timeList(control, list).toFixed(6));
    }
  }
  if (FIXTURE.status)
    timeStatuses(control);
}

run();
