// Reaches the desktop app through the native-messaging host and reports to it, as a request, every message
// that comes back: answers, broadcasts and the app-quit notification. The desktop app drives it:
//   {"command":"disconnect"}   report it, then close the port once the desktop app has acknowledged the report
//   {"command":"measure","host":NAME,"rounds":N,"bytes":B,"id":I}
//                              N sequential round trips of a B-byte message to host NAME, reported as
//                              {"type":"measured","id":I,"milliseconds":T}
// Reports are acknowledged with {"type":"ok"}, which is not reported again.
const HOST = "com.tessaly.browser_helper";
const runtime = (globalThis.browser ?? globalThis.chrome).runtime;

const ports = new Map();      // host name -> port
const awaiting = new Map();   // port -> resolver of the round trip in flight
let closeAfterAcknowledgement = false;

function portTo(host) {
  if (!ports.has(host)) {
    const port = runtime.connectNative(host);
    port.onMessage.addListener((message) => received(port, message));
    port.onDisconnect.addListener(() => ports.delete(host));
    ports.set(host, port);
  }
  return ports.get(host);
}

function report(message) {
  portTo(HOST).postMessage(message);
}

function received(port, message) {
  if (message.type === "ping") {
    const resolve = awaiting.get(port);
    awaiting.delete(port);
    if (resolve) resolve();
    return;
  }
  if (port !== ports.get(HOST)) return;
  if (message.type === "ok") {
    if (closeAfterAcknowledgement) {
      ports.get(HOST).disconnect();
      ports.delete(HOST);
    }
    return;
  }
  if (message.command === "measure") {
    measure(message);
    return;
  }
  report({type: "saw", message});
  if (message.command === "disconnect") closeAfterAcknowledgement = true;
}

function roundTrip(port, message) {
  return new Promise((resolve) => {
    awaiting.set(port, resolve);
    port.postMessage(message);
  });
}

async function measure({host, rounds, bytes, id}) {
  const port = portTo(host);
  const ping = {type: "ping", pad: "x".repeat(Math.max(0, bytes - 25))};
  for (let i = 0; i < 10; ++i) await roundTrip(port, ping);
  const start = performance.now();
  for (let i = 0; i < rounds; ++i) await roundTrip(port, ping);
  report({type: "measured", id, host, rounds, bytes, milliseconds: performance.now() - start});
}

report({type: "hello", userAgent: navigator.userAgent});
