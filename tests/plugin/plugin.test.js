// The Sketch plug-in outside Sketch. The bundle as Sketch reads it; the handlers run the way Sketch
// runs the script (a bare context, handlers called by the names manifest.json gives) against
// stand-ins for the Sketch API and for the Foundation classes it uses, with Foundation's method
// names and its refusal to move onto an existing file, over a real temporary folder.
'use strict'

const [test, assert, fs, os, path, vm] = ['test', 'assert', 'fs', 'os', 'path', 'vm'].map((name) => require(`node:${name}`))

const scripts = path.join(__dirname, '..', '..', 'resources', 'Glasswing.sketchplugin', 'Contents', 'Sketch')
const manifest = JSON.parse(fs.readFileSync(path.join(scripts, 'manifest.json'), 'utf8'))

// Sketch's document model, as far as the plug-in reads it.
const layer = (type, name, layers = []) => layers.reduce((made, child) => Object.assign(child, { parent: made }) && made, { type, name, layers })
const [artboard, shape, page] = ['Artboard', 'ShapePath', 'Page'].map((type) => (name, children) => layer(type, name, children))
const documentWith = (pages, selected = [], selectedPage = pages[0]) =>
  Object.assign(layer('Document', 'Document', pages), { pages, selectedPage, selectedLayers: { layers: selected, get length() { return selected.length } } })

// Every function a command hands to Sketch, as [script, name].
const handlers = manifest.commands.flatMap((c) => [c.handler, ...Object.entries(c.handlers || {}).flatMap(([key, value]) =>
  key === 'actions' ? Object.values(value) : [value])].filter(Boolean).map((name) => [c.script, name]))

test('the bundle: a manifest Sketch reads, whose handlers load as globals touching nothing of Sketch', () => {
  // Sketch calls only what the manifest names: the document-change handlers are wired here or never.
  const listened = manifest.commands.flatMap((c) => Object.keys(Object.assign({}, c.handlers, (c.handlers || {}).actions)))
  assert.deepStrictEqual(listened.filter((k) => k !== 'actions').sort(), ['ArtboardChanged', 'OpenDocument', 'SelectionChanged.finish', 'onDocumentChanged'])
  // A context with only the language's own globals: any use of Sketch's at load time throws.
  const context = vm.createContext({})
  vm.runInContext(fs.readFileSync(path.join(scripts, 'glasswing.js'), 'utf8'), context)
  assert.deepStrictEqual(handlers.filter(([script, name]) => script !== 'glasswing.js' || typeof context[name] !== 'function'), [])
})

// Foundation and Sketch over a real folder; `world` records what the script did.
function scene(home, { failWrites = false, exported = (name) => Buffer.from(`PNG ${name}`), ...options } = {}) {
  const world = { timers: [], delays: [], logs: [], messages: [], exports: [], writes: [], dictionary: new Map() }
  // Foundation's pattern: a BOOL result, and the NSError through the pointer.
  const attempt = (pointer, body) => {
    try {
      return body() || true
    } catch (error) {
      pointer.setValue({ localizedDescription: () => error.message })
      return false
    }
  }
  const data = (buffer) => ({
    buffer,
    length: () => buffer.length,
    writeToFile_options_error: (p, options, error) => attempt(error, () => {
      world.writes.push(p)
      fs.writeFileSync(p, failWrites ? buffer.subarray(0, 2) : buffer)
      if (failWrites) throw new Error('The volume is full')
    }),
  })
  const manager = {
    createDirectoryAtPath_withIntermediateDirectories_attributes_error: (p, parents, a, error) => attempt(error, () => fs.mkdirSync(p, { recursive: parents })),
    contentsAtPath: (p) => (fs.existsSync(p) && fs.statSync(p).isFile() ? data(fs.readFileSync(p)) : null),
    fileExistsAtPath: (p) => fs.existsSync(p),
    moveItemAtPath_toPath_error: (from, to, error) => attempt(error, () => {
      if (fs.existsSync(to)) throw new Error(`"${path.basename(to)}" already exists`)
      fs.renameSync(from, to)
    }),
    replaceItemAtURL_withItemAtURL_backupItemName_options_resultingItemURL_error: (to, from, b, o, r, error) => attempt(error, () => fs.renameSync(from.path, to.path)),
    removeItemAtPath_error: (p, error) => attempt(error, () => fs.unlinkSync(p)),
  }
  // The selection: a shape inside a group inside the artboard, which is not the page's first.
  const board = artboard('Home Screen', [layer('Group', 'Group', [shape('Button')])])
  const document = 'document' in options ? options.document : documentWith([page('Page 1', [artboard('Other'), board])], [board.layers[0].layers[0]])
  const sketch = {
    getSelectedDocument: () => document,
    export: (object, options) => {
      world.exports.push([object.name, JSON.parse(JSON.stringify(options))]) // a copy, with this realm's Object
      const bytes = exported(object.name)
      return bytes && { length: bytes.length, toNSData: () => data(bytes) }
    },
    UI: { message: (text) => world.messages.push(text) },
  }
  const context = vm.createContext({
    NSFileManager: { defaultManager: () => manager },
    MOPointer: { alloc: () => ({ init: () => ({ value: () => world.error, setValue: (v) => { world.error = v } }) }) },
    NSString: { alloc: () => ({ initWithData_encoding: (d) => d.buffer.toString('utf8') }) },
    NSUTF8StringEncoding: 4,
    NSURL: { fileURLWithPath: (p) => ({ path: p }) },
    // The thread dictionary gives numbers back as NSNumber objects, not as JavaScript numbers.
    NSThread: { mainThread: () => ({ threadDictionary: () => ({ objectForKey: (key) => (world.dictionary.has(key) ? new Number(world.dictionary.get(key)) : null),
      setObject_forKey: (value, key) => world.dictionary.set(key, Number(value)) }) }) },
    NSHomeDirectory: () => home,
    setTimeout: (callback, milliseconds) => world.timers.push(callback) && world.delays.push(milliseconds),
    console: { log: (line) => world.logs.push(line) },
    require: (name) => (name === 'sketch' ? sketch : assert.fail(`no module ${name}`)),
  })
  vm.runInContext(fs.readFileSync(path.join(scripts, 'glasswing.js'), 'utf8'), context)
  world.run = (...names) => {
    for (const name of names) context[name]({ actionContext: {} })
    while (world.timers.length) world.timers.shift()()
  }
  return world
}

const SHOT = [['Home Screen', { formats: 'png', scales: '3', output: false }]]
const BURST = ['onDocumentChanged', 'onSelectionChanged', 'onArtboardChanged', 'onOpenDocument', 'onDocumentChanged']

// What the handlers do, by what the app's status file says and what is in the shared folder.
const ROWS = [
  { name: 'a burst of changes with a phone connected is exported once, settled', status: true, run: BURST, exports: SHOT, preview: 'PNG Home Screen' },
  { name: 'a preview the app has not taken yet is replaced', status: true, before: 'older', run: ['onOpenDocument'], exports: SHOT, preview: 'PNG Home Screen' },
  { name: 'Mirror Now exports at once and says so', status: true, run: ['mirrorNow'], exports: SHOT, preview: 'PNG Home Screen', messages: ['Glasswing: mirrored "Home Screen"'] },
  { name: 'no status file: nothing is exported, the folder is made', status: null, run: [...BURST, 'mirrorNow'], messages: ['Glasswing: no phone is connected'] },
  // Only a JSON object whose isConnected is true counts as a phone connected.
  ...[false, 'not json', '{"isConnected":1}'].map((status) => ({ name: `status ${status}: nothing is exported`, status, before: 'older', run: [...BURST, 'mirrorNow'], preview: 'older', messages: ['Glasswing: no phone is connected'] })),
  { name: 'a write that fails leaves the preview as it was', status: true, failWrites: true, before: 'older', run: ['mirrorNow'], exports: SHOT, preview: 'older', logs: /The volume is full/, messages: ['Glasswing: could not mirror (see the plug-in log)'] },
  // Else the page's first artboard.
  { name: 'nothing selected: the first artboard on the page', status: true, document: documentWith([page('P', [shape('Loose'), artboard('First'), artboard('Home Screen')])]),
    run: ['mirrorNow'], exports: [['First', SHOT[0][1]]], preview: 'PNG First', messages: ['Glasswing: mirrored "First"'] },
  { name: 'a page with no artboard', status: true, document: documentWith([page('P', [shape('S')])]), run: ['mirrorNow'], messages: ['Glasswing: this page has no artboard to mirror'] },
  { name: 'an empty export leaves the preview as it was', status: true, exported: () => Buffer.alloc(0), run: BURST, exports: SHOT, logs: /came back empty/ },
]

for (const row of ROWS) {
  test(`handlers: ${row.name}`, (t) => {
    const home = fs.mkdtempSync(path.join(os.tmpdir(), 'glasswing-plugin-'))
    t.after(() => fs.rmSync(home, { recursive: true, force: true }))
    const folder = path.join(home, 'Library', 'Caches', 'com.tessaro.Preview')
    const preview = path.join(folder, 'Preview@3x.png')
    if (row.status !== null) {
      fs.mkdirSync(folder, { recursive: true })
      fs.writeFileSync(path.join(folder, 'status.json'), typeof row.status === 'string' ? row.status : JSON.stringify({ isConnected: row.status }))
    }
    if (row.before) fs.writeFileSync(preview, row.before)
    const world = scene(home, row)
    world.run(...row.run)
    assert.deepStrictEqual(world.exports, row.exports || [])
    assert.strictEqual(fs.existsSync(preview) ? fs.readFileSync(preview, 'utf8') : null, row.preview || null)
    // Written under a hidden name beside the preview, then renamed: the folder holds nothing else.
    for (const p of world.writes) assert.match(p, /\/com\.tessaro\.Preview\/\.Preview@3x\.png\.tmp-[0-9a-z]{12}$/)
    assert.deepStrictEqual(fs.readdirSync(folder).sort(), [row.preview && 'Preview@3x.png', row.status !== null && 'status.json'].filter(Boolean))
    assert.deepStrictEqual(world.messages, row.messages || [])
    assert.match(world.logs.join('\n'), row.logs || /^$/)
    // Each change asks for a mirror 100 ms on (only the last of a burst runs); Mirror Now at once.
    assert.deepStrictEqual(world.delays, row.run.filter((name) => name !== 'mirrorNow').map(() => 100))
  })
}
