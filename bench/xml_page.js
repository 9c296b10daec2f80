// Page side of the XML list benchmark, run by bench/run.py in the page host:
//   TovralHost.exe xml_page.js -- ROUNDS ITEMS...
// Stores a list of ITEMS items with SetDownLoadList and times GetDownLoadList,
// which loads the stored list through XmlNode. Each round times every list
// once, in alternating order: "page round=R items=N seconds=X".

function fail(what) {
  host.echo("FAIL: " + what);
  host.exit(1);
}

// A page's download list: every item unticked, so that the answer lists none
// and no catalogue look-up is timed, only the list itself.
function listText(items) {
  var lines = ['<?xml version="1.0" encoding="utf-8"?>', "<list>"];
  for (var i = 0; i < items; ++i)
    lines.push('  <item id="' + (1000 + i % 1000) + '" falg="false" name="Component ' + i + '"/>');
  lines.push("</list>", "");
  return lines.join("\r\n");
}

function timeList(control, text) {
  if (!control.SetDownLoadList(text))
    fail("SetDownLoadList refused the list");
  var start = host.clock();
  var answer = control.GetDownLoadList();
  var seconds = (host.clock() - start) / 1000;
  if (answer !== "<Update></Update>") // a list that parses, with nothing ticked
    fail("GetDownLoadList answered [" + answer + "]");
  return seconds;
}

function run() {
  var rounds = parseInt(host.arg(0), 10);
  var sizes = [], texts = [];
  for (var a = 1; a < host.argCount; ++a) {
    sizes.push(parseInt(host.arg(a), 10));
    texts.push(listText(sizes[sizes.length - 1]));
  }
  var control = new ActiveXObject("Tovral.DownLoad");
  timeList(control, listText(10)); // warm-up: MSXML loads with the first list
  for (var r = 0; r < rounds; ++r) {
    for (var k = 0; k < sizes.length; ++k) {
      var i = r % 2 == 0 ? k : sizes.length - 1 - k;
      host.echo("page round=" + r + " items=" + sizes[i] + " seconds=" +
                timeList(control, texts[i]).toFixed(6));
    }
  }
}

run();
