// The bundle as Sketch sees it: a manifest that parses, names scripts that exist and handlers that
// those scripts define as globals when run the way Sketch runs them (no module, no require), and
// nothing in the bundle but what it ships.
'use strict'

const test = require('node:test')
const assert = require('node:assert')
const fs = require('node:fs')
const path = require('node:path')
const vm = require('node:vm')

const support = require('./support')

const manifestPath = path.join(support.sketchFolder, 'manifest.json')

function readManifest() {
  return JSON.parse(fs.readFileSync(manifestPath, 'utf8'))
}

// Every function name a command hands to Sketch, with the script it must be found in.
function handlersOf(manifest) {
  const named = []
  for (const command of manifest.commands) {
    if (command.handler) named.push([command.script, command.handler])
    const handlers = command.handlers || {}
    for (const [key, value] of Object.entries(handlers)) {
      if (key === 'actions') {
        for (const name of Object.values(value)) named.push([command.script, name])
      } else {
        named.push([command.script, value])
      }
    }
  }
  return named
}

// Runs a script in a fresh context holding only the language's own globals, as Sketch's loader
// would before calling a handler; returns that context.
function loadLikeSketch(scriptName) {
  const source = fs.readFileSync(path.join(support.sketchFolder, scriptName), 'utf8')
  const context = vm.createContext({})
  vm.runInContext(source, context, { filename: scriptName })
  return context
}

test('the manifest is JSON with the keys Sketch reads', () => {
  const manifest = readManifest()
  for (const key of ['name', 'identifier', 'version', 'description', 'author', 'compatibleVersion']) {
    assert.strictEqual(typeof manifest[key], 'string', key)
  }
  assert.strictEqual(manifest.bundleVersion, 1)
  // Plain JavaScript, not run through CocoaScript's preprocessor.
  assert.strictEqual(manifest.disableCocoaScriptPreprocessor, true)
  // Document-change handlers exist from Sketch 59 on.
  assert.ok(Number(manifest.compatibleVersion) >= 59)
  assert.ok(Array.isArray(manifest.commands) && manifest.commands.length > 0)
  const identifiers = new Set()
  for (const command of manifest.commands) {
    assert.strictEqual(typeof command.identifier, 'string')
    assert.strictEqual(typeof command.script, 'string')
    assert.ok(!identifiers.has(command.identifier), 'identifiers are unique: ' + command.identifier)
    identifiers.add(command.identifier)
    for (const key of Object.keys(command.handlers || {})) {
      assert.ok(['actions', 'run', 'setUp', 'tearDown', 'onDocumentChanged'].includes(key), key)
    }
    for (const action of Object.keys((command.handlers || {}).actions || {})) {
      assert.match(action, /^(\*|[A-Za-z]+(\.begin|\.finish)?)$/)
    }
  }
  for (const item of manifest.menu.items) {
    assert.ok(identifiers.has(item), 'the menu names a command: ' + item)
  }
})

test('Mirror Now is a menu command, and changes, selections, artboards and opened documents are listened to', () => {
  const manifest = readManifest()
  const mirrorNow = manifest.commands.find((command) => command.name === 'Mirror Now')
  assert.ok(mirrorNow, 'a "Mirror Now" command')
  assert.ok(manifest.menu.items.includes(mirrorNow.identifier))
  const listened = {}
  for (const command of manifest.commands) {
    const handlers = command.handlers || {}
    if (handlers.onDocumentChanged) listened.onDocumentChanged = handlers.onDocumentChanged
    Object.assign(listened, handlers.actions || {})
  }
  assert.deepStrictEqual(Object.keys(listened).sort(),
    ['ArtboardChanged', 'OpenDocument', 'SelectionChanged.finish', 'onDocumentChanged'])
})

test('every script the manifest names exists, and defines its handlers as global functions', () => {
  const named = handlersOf(readManifest())
  assert.ok(named.length >= 5)
  for (const [script, handler] of named) {
    assert.ok(fs.statSync(path.join(support.sketchFolder, script)).isFile(), script)
    const context = loadLikeSketch(script)
    assert.strictEqual(typeof context[handler], 'function', script + ' defines ' + handler)
  }
})

test('loading the script touches nothing of Sketch, and under Node exports the same handlers', () => {
  // loadLikeSketch would throw on any reference to Sketch's globals at load time.
  loadLikeSketch('glasswing.js')
  const plugin = require(support.scriptPath)
  for (const [, handler] of handlersOf(readManifest())) {
    assert.strictEqual(typeof plugin[handler], 'function', handler)
  }
})

test('the bundle holds the manifest and its scripts, and no tests', () => {
  const files = []
  const walk = (folder) => {
    for (const entry of fs.readdirSync(folder, { withFileTypes: true })) {
      const full = path.join(folder, entry.name)
      if (entry.isDirectory()) walk(full)
      else files.push(path.relative(support.bundle, full))
    }
  }
  walk(support.bundle)
  const scripts = new Set(readManifest().commands.map((command) => path.join('Contents', 'Sketch', command.script)))
  assert.deepStrictEqual(files.sort(), [path.join('Contents', 'Sketch', 'manifest.json'), ...scripts].sort())
})
