// Bundles each editor page's script (and its styles) into dist/, from the
// packages package-lock.json pins: the pages load nothing from the network.
// Classic scripts (iife): a browser loads no module from a file: address.
import { fileURLToPath } from "node:url";
import { build } from "esbuild";

await build({
  entryPoints: ["textarea.js", "quill.js", "prosemirror.js", "tiptap.js", "lexical.js", "ckeditor.js", "monaco.js"],
  absWorkingDir: fileURLToPath(new URL(".", import.meta.url)),
  bundle: true, outdir: "dist", format: "iife", minify: true, logLevel: "warning",
  loader: { ".ttf": "file" },
});
