// A relay stand-in on the npm `ws` package, for the permessage-deflate
// tests: a WebSocket server that speaks the extension as Node relays do.
//
//   node ws_relay_peer.js <directory holding node_modules/ws> '<options JSON>'
//
// The options are those of ws's WebSocketServer (perMessageDeflate: false,
// true or its parameters), and "echo": false for a relay that only reads.
// It listens on 127.0.0.1, prints {"port": N} on a line, and then, for each
// client:
//   - a text message "!big N" is answered with N bytes of "a" (compressed
//     where the extension is on: a small frame that inflates to N);
//   - a text message "!stats" is answered with {"wireBytes": bytes read from
//     the client's TCP connection, "messages": messages read, "extensions":
//     the offer the client made, "agreed": what was agreed};
//   - any other message is sent back as it came (unless "echo" is false).
// When a client closes, {"closed": code} is printed on a line.
'use strict';

const path = require('path');
const { WebSocketServer } = require(path.join(process.argv[2], 'node_modules', 'ws'));

const { echo = true, ...options } = JSON.parse(process.argv[3] || '{}');
const server = new WebSocketServer({ host: '127.0.0.1', port: 0, ...options });

server.on('listening', () => {
  process.stdout.write(JSON.stringify({ port: server.address().port }) + '\n');
});

server.on('connection', (socket, request) => {
  const offer = request.headers['sec-websocket-extensions'] || '';
  let messages = 0;
  socket.on('message', (data, isBinary) => {
    ++messages;
    const text = isBinary ? null : data.toString('utf8');
    if (text !== null && text.startsWith('!big ')) {
      socket.send('a'.repeat(Number(text.slice(5))));
    } else if (text === '!stats') {
      socket.send(JSON.stringify({
        wireBytes: socket._socket.bytesRead,
        messages,
        extensions: offer,
        agreed: socket.extensions,
      }));
    } else if (echo) {
      socket.send(data, { binary: isBinary });
    }
  });
  socket.on('close', (code) => {
    process.stdout.write(JSON.stringify({ closed: code }) + '\n');
  });
  socket.on('error', () => {});
});

// The test ends it; should it not, it goes after five minutes.
setTimeout(() => process.exit(0), 300000).unref();
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
