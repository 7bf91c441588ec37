// The relay side of a plain Node.js bridge on the npm `ws` package, for
// relay_link's comparison: connects to a relay stand-in with ws's defaults
// (permessage-deflate offered, messages under 1 KB sent uncompressed), sends
// C chats of A-character answers in F-character fragments, interleaved, one
// chat_stream_chunk (JSON.stringify of delta and accumulated text) per
// fragment and a chat_stream_end per chat, each after the event loop has
// had its turn, as a bridge forwarding a gateway's events would.
//
//   node node_bridge_load.js <ws directory> <url> <chats> <answer chars> <fragment chars>
//
// Prints {"wireBytes": what the relay read for the load, "cpuUs": CPU of this process for
// the load, "maxRssKb": its peak resident memory, "fragments": chunks sent,
// "deflate": whether the relay took the extension} once the relay has read
// everything.
'use strict';

const path = require('path');
const WebSocket = require(path.join(process.argv[2], 'node_modules', 'ws'));
const [url, chats, answerChars, fragmentChars] = [process.argv[3], ...process.argv.slice(4, 7).map(Number)];

const fragment = (k) => ('w' + String(k).padStart(fragmentChars - 2, '0') + ' ').slice(-fragmentChars);
const socket = new WebSocket(url);
socket.on('error', (e) => {
  process.stderr.write(String(e) + '\n');
  process.exit(1);
});

// What the relay has read so far (it answers "!stats" after everything before it).
const stats = () => new Promise((resolve) => {
  socket.once('message', (data) => resolve(JSON.parse(data).wireBytes));
  socket.send('!stats');
});

socket.on('open', async () => {
  const before = await stats(); // the upgrade is not the answers' cost
  const yieldTurn = () => new Promise((resolve) => setImmediate(resolve));
  const start = process.cpuUsage();
  const texts = new Array(chats).fill('');
  const fragments = Math.floor(answerChars / fragmentChars);
  for (let k = 0; k < fragments; ++k) {
    for (let chat = 0; chat < chats; ++chat) {
      const delta = fragment(k);
      texts[chat] += delta;
      socket.send(JSON.stringify({
        accumulated: texts[chat], appUserId: 'bench-user', delta, reply_to: `chat-${chat}`, type: 'chat_stream_chunk',
      }));
      await yieldTurn();
    }
  }
  for (let chat = 0; chat < chats; ++chat)
    socket.send(JSON.stringify({ type: 'chat_stream_end', reply_to: `chat-${chat}`, content: texts[chat], appUserId: 'bench-user' }));
  const after = await stats();
  {
    const used = process.cpuUsage(start);
    process.stdout.write(JSON.stringify({
      wireBytes: after - before,
      cpuUs: used.user + used.system,
      maxRssKb: process.resourceUsage().maxRSS,
      fragments: fragments * chats,
      deflate: socket.extensions.includes('permessage-deflate'),
    }) + '\n');
    socket.close();
    process.exit(0);
  }
});
