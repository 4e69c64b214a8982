// Stand-ins for the plug-in's tests: a small Sketch document model, a file system over a real
// temporary folder, and the path of the bundle under test.
'use strict'

const fs = require('node:fs')
const os = require('node:os')
const path = require('node:path')

const bundle = path.join(__dirname, '..', '..', 'resources', 'Glasswing.sketchplugin')
const sketchFolder = path.join(bundle, 'Contents', 'Sketch')
const scriptPath = path.join(sketchFolder, 'glasswing.js')

// ---- Sketch's document model, as far as the plug-in reads it: layers with a type, a name and a
// parent; pages with layers; a document with its selected page and selected layers.

function layer(type, name, children) {
  const made = { type, name, parent: undefined, layers: [] }
  for (const child of children || []) {
    child.parent = made
    made.layers.push(child)
  }
  return made
}

const artboard = (name, children) => layer('Artboard', name, children)
const group = (name, children) => layer('Group', name, children)
const shape = (name) => layer('ShapePath', name)

// selected: the layers the user selected, wrapped like Sketch's Selection (its "layers" array).
function documentWith(pages, selected, selectedPage) {
  const made = { type: 'Document', pages: [], selectedPage: selectedPage || pages[0] }
  for (const page of pages) {
    page.parent = made
    made.pages.push(page)
  }
  made.selectedLayers = { layers: selected || [], get length() { return this.layers.length } }
  return made
}

const page = (name, children) => layer('Page', name, children)

// ---- The file system the plug-in is given, over node:fs.

function nodeFileSystem() {
  return {
    makeFolder: (p) => fs.mkdirSync(p, { recursive: true }),
    readText: (p) => fs.readFileSync(p, 'utf8'),
    writeBytes: (p, bytes) => fs.writeFileSync(p, bytes),
    rename: (from, to) => fs.renameSync(from, to),
    remove: (p) => fs.unlinkSync(p),
  }
}

// The same, recording every call as [operation, path, ...].
function recordingFileSystem(inner, calls) {
  const recorded = {}
  for (const name of Object.keys(inner)) {
    recorded[name] = (...args) => {
      calls.push([name, ...args.filter((arg) => typeof arg === 'string')])
      return inner[name](...args)
    }
  }
  return recorded
}

// A temporary home for one test; removed by the returned cleanup.
function temporaryHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'glasswing-plugin-'))
  return { home, cleanup: () => fs.rmSync(home, { recursive: true, force: true }) }
}

function withHome(body) {
  const { home, cleanup } = temporaryHome()
  try {
    return body(home)
  } finally {
    cleanup()
  }
}

const pngBytes = (text) => Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47]), Buffer.from(text)])

module.exports = {
  bundle,
  sketchFolder,
  scriptPath,
  artboard,
  group,
  shape,
  page,
  documentWith,
  nodeFileSystem,
  recordingFileSystem,
  temporaryHome,
  withHome,
  pngBytes,
}
