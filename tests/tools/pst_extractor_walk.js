#!/usr/bin/env node
// Walks a .pst with pst-extractor (npm; it follows java-libpst): every folder,
// message, recipient, attachment (bytes read) and embedded message. Prints one
// JSON object: counts, per-message texts, and the errors it met, each with
// where. Exit status: 0 read whole, 1 errors, 2 the file does not open.
//
// Errors inside search folders are listed apart ("searchFolderErrors"): the
// library fails there on Outlook's own files too.
//
//   node pst_extractor_walk.js FILE.pst
'use strict';
const { PSTFile } = require('pst-extractor');

// getRecipient(i) reads the recipient table from its start each time, so a
// message with thousands of recipients would take minutes.
const maxRecipients = 50;
const args = process.argv.slice(2);
if (args.length !== 1) {
  process.stderr.write('usage: pst_extractor_walk.js FILE.pst\n');
  process.exit(2);
}

const FOLDER_SEARCH = 2;  // PidTagFolderType
const out = { folders: 0, messages: 0, recipients: 0, attachments: 0, embedded: 0,
              texts: [], errors: [], searchFolderErrors: [] };

function record(where, error, inSearch) {
  const e = { where, what: String(error && error.message ? error.message : error) };
  (inSearch ? out.searchFolderErrors : out.errors).push(e);
}

function readStream(stream) {
  const buf = Buffer.alloc(8176);
  let total = 0;
  for (let n = stream.read(buf); n > 0; n = stream.read(buf)) total += n;
  return total;
}

function walkMessage(msg, where, inSearch, depth) {
  const text = { where, subject: msg.subject, sender: msg.senderName, recipients: [],
                 attachments: [], body: msg.body };
  const recipientCount = msg.numberOfRecipients;
  for (let i = 0; i < Math.min(recipientCount, maxRecipients); ++i) {
    try {
      const r = msg.getRecipient(i);
      if (!r) throw new Error('recipient ' + i + ' is null');
      text.recipients.push(r.displayName);
      ++out.recipients;
    } catch (e) { record(where + ' recipient ' + i, e, inSearch); }
  }
  for (let i = 0; i < msg.numberOfAttachments; ++i) {
    const aw = where + ' attachment ' + i;
    try {
      const a = msg.getAttachment(i);
      text.attachments.push(a.longFilename || a.filename || a.displayName);
      ++out.attachments;
      const embedded = a.attachMethod === 5 ? a.embeddedPSTMessage : null;
      if (embedded) {
        ++out.embedded;
        if (depth < 32) walkMessage(embedded, aw + ' embedded', inSearch, depth + 1);
      } else if (a.attachMethod === 1) {
        const stream = a.fileInputStream;
        const read = stream ? readStream(stream) : 0;
        if (read !== a.filesize) throw new Error('read ' + read + ' of ' + a.filesize + ' bytes');
      }
    } catch (e) { record(aw, e, inSearch); }
  }
  if (depth === 0) out.texts.push(text);
}

function walkFolder(folder, path, depth) {
  ++out.folders;
  const inSearch = folder.folderType === FOLDER_SEARCH;
  try {
    if (folder.contentCount > 0) {
      for (let msg = folder.getNextChild(); msg != null; msg = folder.getNextChild()) {
        const where = path + ' message ' + msg.descriptorNodeId;
        ++out.messages;
        try { walkMessage(msg, where, inSearch, 0); } catch (e) { record(where, e, inSearch); }
      }
    }
  } catch (e) { record(path + ' contents', e, inSearch); }
  if (depth > 256) return;
  try {
    if (folder.hasSubfolders)
      for (const sub of folder.getSubFolders()) walkFolder(sub, path + '/' + sub.displayName, depth + 1);
  } catch (e) { record(path + ' subfolders', e, inSearch); }
}

let pst;
try {
  pst = new PSTFile(args[0]);
} catch (e) {
  process.stdout.write(JSON.stringify({ open: String(e.message || e) }) + '\n');
  process.exit(2);
}
walkFolder(pst.getRootFolder(), '', 0);
pst.close();
process.stdout.write(JSON.stringify(out) + '\n');
process.exit(out.errors.length ? 1 : 0);
