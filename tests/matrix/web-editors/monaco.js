import * as monaco from "monaco-editor/editor/editor.api.js";
import { watch } from "./watch.js";

// No web workers: the editor runs its helpers on the page's own thread.
self.MonacoEnvironment = { getWorker() { throw new Error("no workers on this page"); } };
// page.html?monaco-on: with its accessibility mode on, as a screen reader
// user has it; off, as it starts for everyone else.
const accessibility = location.search.endsWith("-on") ? "on" : "off";
const editor = monaco.editor.create(document.getElementById("editor"), {
  value: "", ariaLabel: "Message", accessibilitySupport: accessibility, automaticLayout: true,
  quickSuggestions: false, wordBasedSuggestions: "off", minimap: { enabled: false },
});
editor.getModel().setEOL(monaco.editor.EndOfLineSequence.LF);
editor.onDidChangeCursorPosition(() => document.dispatchEvent(new Event("input")));
watch(`Monaco ${accessibility}`, () => {
  const model = editor.getModel();
  return { text: model.getValue(), caret: model.getOffsetAt(editor.getPosition()) };
});
editor.focus();
