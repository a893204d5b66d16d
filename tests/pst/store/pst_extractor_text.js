// Prints, as JSON, the text pst-extractor (npm; the java-libpst family)
// shows for every message of a PST: its NID, subject, sender name, body,
// recipient display names (the first kMaxRecipients: it reads recipients in
// quadratic time) and attachment names, each as UTF-16LE hex so no text is
// changed on the way. Usage: node pst_extractor_text.js MODULE_DIR FILE.pst
'use strict';
// The library reports what it passes over on console.log: keep stdout for our JSON.
console.log = (...args) => process.stderr.write(args.join(' ') + '\n');
const { PSTFile } = require(process.argv[2]);

const kMaxRecipients = 50;
const hex = (s) => Buffer.from(s || '', 'utf16le').toString('hex');

function message(m) {
  const recipients = [];
  const n = Math.min(m.numberOfRecipients, kMaxRecipients);
  for (let i = 0; i < n; i++) recipients.push(hex(m.getRecipient(i).displayName));
  const attachments = [];
  for (let i = 0; i < m.numberOfAttachments; i++) {
    const a = m.getAttachment(i);
    attachments.push({ display: hex(a.displayName), file: hex(a.filename), long: hex(a.longFilename) });
  }
  return {
    nid: m.descriptorNodeId.toNumber(),
    subject: hex(m.subject),
    sender: hex(m.senderName),
    body: hex(m.body),
    recipients: recipients,
    recipientCount: m.numberOfRecipients,
    attachments: attachments,
  };
}

function walk(folder, out) {
  if (folder.contentCount > 0) {
    for (let m = folder.getNextChild(); m; m = folder.getNextChild()) out.push(message(m));
  }
  let subs = [];
  try {
    subs = folder.getSubFolders();
  } catch (err) {
    // Search folders: it fails on Outlook's own files the same way.
  }
  for (const s of subs) walk(s, out);
}

const out = [];
walk(new PSTFile(process.argv[3]).getRootFolder(), out);
process.stdout.write(JSON.stringify({ messages: out }));
