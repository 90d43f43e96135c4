// The page's script: it carries files between the user and the core
// (txcore.js), asks the merge's questions and offers the results for
// download.  Every rule of the export and the merge is the core's.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);

  // The handheld's 8-bit character set, as the page shows and edits it: the
  // core's own table (the one TxImport converts a UTF-8 text with), each
  // byte one character and back, so text the user did not touch goes back
  // byte for byte.
  const codeOf = new Uint16Array(256);
  const byteOf = new Map();
  function learnCharacters(core) {
    core.handheldCharacters().forEach((code, b) => {
      codeOf[b] = code;
      byteOf.set(String.fromCharCode(code), b);
    });
  }
  function decode(bytes) {
    const parts = [];
    const codes = new Uint16Array(Math.min(bytes.length, 8192));
    for (let at = 0; at < bytes.length; at += codes.length) {
      const count = Math.min(codes.length, bytes.length - at);
      for (let i = 0; i < count; i++) codes[i] = codeOf[bytes[at + i]];
      parts.push(String.fromCharCode.apply(null, codes.subarray(0, count)));
    }
    return parts.join("");
  }
  // A carriage return that is not part of a line end is shown as this mark
  // (a text area would make it a line end) and is one again in the bytes.
  const returnMark = "\u240D";
  // The text area's text of `bytes`: CR LF line ends as line ends, other
  // carriage returns as the mark.
  function shownText(bytes) {
    return decode(bytes).replace(/\r\n/g, "\n").replace(/\r/g, returnMark);
  }
  // Whether the text's line ends are CR LF, which its edited bytes then keep.
  function endsLinesWithCrLf(bytes) {
    const text = decode(bytes);
    return text.includes("\r\n") && !/(^|[^\r])\n/.test(text);
  }
  function encode(value, crlf) {
    const text = crlf ? value.replace(/\n/g, "\r\n") : value;
    const bytes = new Uint8Array(text.length);
    let line = 1;
    for (let i = 0; i < text.length; i++) {
      const b = text[i] === returnMark ? 0x0D : byteOf.get(text[i]);
      if (b === undefined) {
        const code = text.codePointAt(i).toString(16).toUpperCase().padStart(4, "0");
        throw new Error(`Line ${line} of the text holds "${String.fromCodePoint(text.codePointAt(i))}" ` +
          `(U+${code}), which the handheld's character set (Windows-1252) does not have; nothing was merged.`);
      }
      if (b === 10) line++;
      bytes[i] = b;
    }
    return bytes;
  }
  // A message or note: UTF-8 where it is (file names are), else the
  // handheld's character set (a record's bytes).
  function decodeMessage(bytes) {
    if (typeof bytes === "string") return bytes;
    try { return new TextDecoder("utf-8", { fatal: true }).decode(bytes); } catch (e) { return decode(bytes); }
  }

  // A note: the text file's name in UTF-8, what follows it (a record's
  // bytes among it) in the handheld's set.
  function decodeNote(bytes, name) {
    const prefix = new TextEncoder().encode(`TxImport: note: "${name}"`);
    const starts = bytes.length >= prefix.length && prefix.every((b, i) => bytes[i] === b);
    if (!starts) return decodeMessage(bytes);
    return `TxImport: note: "${name}"` + decode(bytes.subarray(prefix.length));
  }

  const state = {
    core: null,
    database: null,  // {name, bytes}
    text: null,      // {name, bytes}: what the text area holds until it is edited
    edited: false,
    result: null,    // the merged database
    merging: false,
    coreTime: 0,     // milliseconds the core took in the last merge, questions not counted
  };

  // Bytes handed to the core, in its memory; `use` gets them and they are
  // freed after.
  function inCore(bytes, use) {
    let copy;
    try {
      copy = new state.core.Bytes(bytes.length);
    } catch (error) {
      // As the programs say when memory runs out.
      throw new Error("malloc() failure: Out of memory");
    }
    try {
      copy.view().set(bytes);
      return use(copy);
    } finally {
      copy.delete();
    }
  }

  // A failure, naming the file it is about where the message does not, is
  // shown in view (and read out: the element is an alert).
  function showFailure(message, fileName = "") {
    const failure = $("failure");
    const text = message.replace(/\n$/, "");
    failure.textContent = text && fileName ? `${fileName}: ${text}` : text;
    failure.hidden = !message;
    if (message) failure.scrollIntoView({ block: "nearest" });
  }

  // Edits are never thrown away without the user's word.
  function mayDiscardEdits() {
    return !state.edited || window.confirm("Your edits to the text would be lost. Discard them?");
  }

  function offerDownload(bytes, name) {
    const url = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
    const link = document.createElement("a");
    link.href = url;
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  function clearResult() {
    state.result = null;
    $("download-database").hidden = true;
    $("merge-info").textContent = "";
    $("notes").replaceChildren();
  }

  // The file's bytes, or null when the browser cannot read it (the failure
  // is shown).
  function readFile(file) {
    return file.arrayBuffer().then((buffer) => new Uint8Array(buffer), (error) => {
      showFailure(`Can't open "${file.name}": ${error.message || error}`);
      return null;
    });
  }

  function baseName(name) {
    const dot = name.lastIndexOf(".");
    return dot > 0 ? name.slice(0, dot) : name;
  }

  async function chooseDatabase(file) {
    if (state.merging || !mayDiscardEdits()) return;
    showFailure("");
    const bytes = await readFile(file);
    if (!bytes) return;
    clearResult();
    let exported;
    try {
      exported = inCore(bytes, (copy) => state.core.exportText(copy));
    } catch (error) {
      exported = { failure: error.message };
    }
    if (exported.failure !== undefined) {
      state.database = null;
      $("database-info").textContent = "";
      $("text-step").hidden = $("merge-step").hidden = true;
      state.edited = false;
      showFailure(exported.failure, file.name);
      return;
    }
    state.database = { name: file.name, bytes };
    const count = exported.records;
    $("database-info").textContent = `${file.name}: ${count} record${count === 1 ? "" : "s"}`;
    setText(baseName(file.name) + ".txt", exported.text, "exported from " + file.name);
    $("text-step").hidden = $("merge-step").hidden = false;
  }

  // A browser's text area takes seconds per megabyte to lay out: a larger
  // text is not put in it, only downloaded, merged or replaced.
  const largestEditable = 4 * 1048576;

  // `bytes` as they are merged; `shown`, where given, the handheld's bytes
  // the text area shows of them (a UTF-8 text converted).
  function setText(name, bytes, origin, shown = bytes) {
    state.text = { name, bytes, crlf: endsLinesWithCrLf(shown) };
    state.edited = false;
    const editable = bytes.length <= largestEditable;
    $("text").value = editable ? shownText(shown) : "";
    $("text").hidden = !editable;
    const size = (bytes.length / 1048576).toFixed(1);
    $("text-info").textContent = editable ? `${name} (${origin})`
      : `${name} (${origin}, ${size} MB): too large to edit in the page. Download it, edit it in a text ` +
        "editor and load it back, or merge it as it is.";
  }

  // The bytes to merge: the text as loaded or exported until it is edited.
  function textBytes() {
    return state.edited ? encode($("text").value, state.text.crlf) : state.text.bytes;
  }

  // Shows a block's lines, those `changed` marked.
  function showBlock(pre, lines, changed) {
    pre.replaceChildren();
    lines.forEach((line, i) => {
      const span = document.createElement("span");
      span.textContent = line;
      if (changed[i]) span.className = "changed";
      pre.appendChild(span);
    });
  }

  // Asks one question in the dialog: 0 Yes, 1 No, 2 All, or null to stop.
  function ask(merge, number) {
    const existing = decode(merge.existing()).replace(/\n$/, "").split("\n");
    const incoming = decode(merge.incoming()).replace(/\n$/, "").split("\n");
    // The marks come from the core's line diff, the one the console shows.
    const marks = merge.marks();
    showBlock($("existing"), existing, marks.existing);
    showBlock($("incoming"), incoming, marks.incoming);
    $("question-line").textContent = decode(merge.question());
    $("question-count").textContent = `Question ${number}`;
    const dialog = $("question");
    // No click or key counts in the dialog's first half second (a double
    // click or a key held down is not an answer to a question not yet seen).
    const opened = performance.now();
    const settled = () => performance.now() - opened >= 500;
    delete dialog.dataset.ready;
    setTimeout(() => { dialog.dataset.ready = "yes"; }, 500);
    return new Promise((resolve) => {
      const buttons = { "answer-yes": 0, "answer-no": 1, "answer-all": 2, "answer-stop": null };
      const keys = { y: 0, n: 1, a: 2 };
      const finish = (answer) => {
        for (const id of Object.keys(buttons)) $(id).onclick = null;
        dialog.onkeydown = dialog.oncancel = null;
        dialog.close();
        resolve(answer);
      };
      for (const [id, answer] of Object.entries(buttons)) {
        $(id).onclick = () => { if (settled() || answer === null) finish(answer); };
      }
      dialog.onkeydown = (event) => {
        // Enter answers nothing, as an empty line asks again in the console.
        if (event.key === "Enter") {
          event.preventDefault();
          return;
        }
        const answer = keys[event.key.toLowerCase()];
        if (answer !== undefined && !event.ctrlKey && !event.metaKey && !event.altKey) {
          event.preventDefault();
          if (settled()) finish(answer);
        }
      };
      // Escape stops the merge; nothing is written.
      dialog.oncancel = (event) => { event.preventDefault(); finish(null); };
      dialog.showModal();
      // The dialog itself has the focus: no button is pressed by a stray key.
      dialog.focus();
    });
  }

  function timed(work) {
    const start = performance.now();
    try { return work(); } finally { state.coreTime += performance.now() - start; }
  }

  async function merge() {
    if (state.merging || !state.database) return;
    showFailure("");
    clearResult();
    let bytes;
    try {
      bytes = textBytes();
    } catch (error) {
      showFailure(error.message);
      return;
    }
    state.merging = true;
    state.coreTime = 0;
    document.body.dataset.merge = "running";
    $("merge").disabled = true;
    let run = null;
    let outcome = "failed";
    try {
      run = timed(() => inCore(state.database.bytes, (db) =>
        inCore(bytes, (text) => new state.core.PageImport(db, state.text.name, text))));
      let questions = 0;
      // next() says no more once the merge has failed.
      while (timed(() => run.next())) {
        questions++;
        const answer = await ask(run, questions);
        if (answer === null) {
          outcome = "stopped";
          $("merge-info").textContent = "Merge stopped; nothing was written.";
          return;
        }
        timed(() => run.answer(answer));
      }
      const failure = run.failure();
      const notes = run.notes();
      for (const note of notes) {
        const item = document.createElement("li");
        item.textContent = decodeNote(note, state.text.name).replace(/\n$/, "");
        $("notes").appendChild(item);
      }
      if (notes.length > 0) $("notes").scrollIntoView({ block: "nearest" });
      if (failure) {
        showFailure(failure);
        return;
      }
      const database = timed(() => run.database(Math.floor(Date.now() / 1000)));
      if (database === null) {
        showFailure(run.failure());
        return;
      }
      state.result = database;
      outcome = "done";
      const count = run.records();
      $("merge-info").textContent = `Merged: ${count} record${count === 1 ? "" : "s"}, ` +
        `${questions} question${questions === 1 ? "" : "s"} asked.`;
      $("download-database").hidden = false;
    } catch (error) {
      showFailure(error.message);  // the page's own: a file too large for its memory
    } finally {
      if (run) run.delete();
      state.merging = false;
      $("merge").disabled = false;
      document.body.dataset.coreMs = state.coreTime.toFixed(1);
      document.body.dataset.merge = outcome;
    }
  }

  async function loadText(file) {
    if (state.merging || !mayDiscardEdits()) return;
    clearResult();
    showFailure("");
    const bytes = await readFile(file);
    if (!bytes) return;
    // A text the merge would refuse (UTF-16, a database) is refused now, in
    // the program's words, and the text area keeps what it had.
    const refusal = inCore(bytes, (text) => state.core.textRefusal(file.name, text));
    if (refusal) {
      showFailure(decodeMessage(refusal));
      return;
    }
    // A UTF-8 text is shown as the merge reads it, or refused as it would be.
    let shown = bytes;
    if (bytes.length >= 3 && bytes[0] === 0xEF && bytes[1] === 0xBB && bytes[2] === 0xBF) {
      const converted = inCore(bytes, (text) => state.core.handheldText(text));
      if (converted.failure) {
        showFailure(decodeMessage(converted.failure).replace(/\n$/, ""));
        return;
      }
      shown = converted.bytes;
    }
    setText(file.name, bytes, "loaded", shown);
  }

  function whenDropped(target, take) {
    target.addEventListener("dragover", (event) => { event.preventDefault(); target.classList.add("over"); });
    target.addEventListener("dragleave", () => target.classList.remove("over"));
    target.addEventListener("drop", (event) => {
      event.preventDefault();
      target.classList.remove("over");
      if (event.dataTransfer.files.length > 0) take(event.dataTransfer.files[0]);
    });
  }

  function start(core) {
    state.core = core;
    learnCharacters(core);
    $("database-file").addEventListener("change", (event) => {
      if (event.target.files.length > 0) chooseDatabase(event.target.files[0]);
      event.target.value = "";
    });
    whenDropped($("drop-zone"), chooseDatabase);
    $("text-file").addEventListener("change", async (event) => {
      const file = event.target.files[0];
      event.target.value = "";
      if (file) loadText(file);
    });
    whenDropped($("text"), loadText);
    $("text").addEventListener("input", () => {
      state.edited = true;
      clearResult();
    });
    $("download-text").addEventListener("click", () => {
      try {
        offerDownload(textBytes(), state.text.name);
      } catch (error) {
        showFailure(error.message);
      }
    });
    $("merge").addEventListener("click", merge);
    $("download-database").addEventListener("click", () => {
      if (state.result) offerDownload(state.result, state.database.name);
    });
    document.body.dataset.ready = "yes";
  }

  TxCore().then(start, (error) => showFailure("The page could not start its core: " + error));
})();
