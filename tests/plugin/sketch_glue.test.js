// The handlers end to end, run the way Sketch runs the script, against stand-ins for the Sketch API
// and for the Foundation classes the plug-in uses (with Foundation's own method names and its
// refusal to move onto an existing file), backed by a real temporary folder.
'use strict'

const test = require('node:test')
const assert = require('node:assert')
const fs = require('node:fs')
const path = require('node:path')
const vm = require('node:vm')

const support = require('./support')

const source = fs.readFileSync(support.scriptPath, 'utf8')

function foundation(home, options) {
  const failWrites = Boolean(options && options.failWrites)
  const world = { timers: [], logs: [], dictionary: new Map() }
  const pointer = () => {
    let value = null
    return { value: () => value, setValue: (v) => { value = v } }
  }
  // Foundation's pattern: a BOOL result, and the NSError through the pointer.
  const attempt = (errorPointer, body) => {
    try {
      body()
      return true
    } catch (error) {
      errorPointer.setValue({ localizedDescription: () => error.message })
      return false
    }
  }
  const data = (buffer) => ({
    buffer,
    length: () => buffer.length,
    writeToFile_options_error: (p, writeOptions, error) => attempt(error, () => {
      if (failWrites) {
        fs.writeFileSync(p, buffer.subarray(0, 2))
        throw new Error('The volume is full')
      }
      fs.writeFileSync(p, buffer)
    }),
  })
  const manager = {
    createDirectoryAtPath_withIntermediateDirectories_attributes_error: (p, intermediate, attributes, error) =>
      attempt(error, () => fs.mkdirSync(p, { recursive: Boolean(intermediate) })),
    contentsAtPath: (p) => {
      try {
        return data(fs.readFileSync(p))
      } catch (error) {
        return null
      }
    },
    fileExistsAtPath: (p) => fs.existsSync(p),
    moveItemAtPath_toPath_error: (from, to, error) => attempt(error, () => {
      if (fs.existsSync(to)) throw new Error('"' + path.basename(to) + '" already exists')
      fs.renameSync(from, to)
    }),
    replaceItemAtURL_withItemAtURL_backupItemName_options_resultingItemURL_error:
      (original, replacement, backupName, replaceOptions, resulting, error) =>
        attempt(error, () => fs.renameSync(replacement.path, original.path)),
    removeItemAtPath_error: (p, error) => attempt(error, () => fs.unlinkSync(p)),
  }
  world.globals = {
    NSFileManager: { defaultManager: () => manager },
    MOPointer: { alloc: () => ({ init: () => pointer() }) },
    NSString: { alloc: () => ({ initWithData_encoding: (d) => d.buffer.toString('utf8') }) },
    NSUTF8StringEncoding: 4,
    NSURL: { fileURLWithPath: (p) => ({ path: p }) },
    // Numbers come back as NSNumber objects, not as JavaScript numbers.
    NSThread: {
      mainThread: () => ({
        threadDictionary: () => ({
          objectForKey: (key) => (world.dictionary.has(key) ? new Number(world.dictionary.get(key)) : null),
          setObject_forKey: (value, key) => world.dictionary.set(key, Number(value)),
        }),
      }),
    },
    NSHomeDirectory: () => home,
    setTimeout: (callback, milliseconds) => world.timers.push({ callback, milliseconds }),
    console: { log: (line) => world.logs.push(line) },
  }
  world.bufferFrom = (text) => {
    const bytes = support.pngBytes(text)
    // What Sketch's Buffer offers: a length and its bytes as NSData.
    return { length: bytes.length, toNSData: () => data(bytes) }
  }
  world.runTimers = () => {
    while (world.timers.length) world.timers.shift().callback()
  }
  return world
}

function sketchWith(world, document) {
  const sketch = { exports: [], messages: [] }
  sketch.api = {
    getSelectedDocument: () => document,
    export: (object, options) => {
      // A plain copy: the options come from the script's own context, with its own Object.
      sketch.exports.push([object.name, JSON.parse(JSON.stringify(options))])
      return world.bufferFrom(object.name)
    },
    UI: { message: (text) => sketch.messages.push(text) },
  }
  return sketch
}

function loadInSketch(world, sketch) {
  const context = vm.createContext(Object.assign({}, world.globals, {
    require: (name) => {
      if (name === 'sketch') return sketch.api
      throw new Error('no module ' + name)
    },
  }))
  vm.runInContext(source, context, { filename: 'glasswing.js' })
  return context
}

function scene(home, options) {
  const world = foundation(home, options)
  const board = support.artboard('Home Screen', [support.shape('Button')])
  const document = support.documentWith([support.page('Page 1', [support.artboard('Other'), board])], [board.layers[0]])
  const sketch = sketchWith(world, document)
  const plugin = loadInSketch(world, sketch)
  const folder = path.join(home, 'Library', 'Caches', 'com.tessaro.Preview')
  return { world, sketch, plugin, folder, preview: path.join(folder, 'Preview@3x.png') }
}

function connect(folder, connected) {
  fs.mkdirSync(folder, { recursive: true })
  fs.writeFileSync(path.join(folder, 'status.json'), JSON.stringify({ isConnected: connected }))
}

test('a burst of change events exports the selected artboard once, at 3x, into the shared folder', () => {
  support.withHome((home) => {
    const { world, sketch, plugin, folder, preview } = scene(home)
    connect(folder, true)
    plugin.onDocumentChanged({ actionContext: [{}, {}] })
    plugin.onSelectionChanged({ actionContext: {} })
    plugin.onArtboardChanged({ actionContext: {} })
    plugin.onDocumentChanged({ actionContext: [{}] })
    assert.deepStrictEqual(sketch.exports, [])
    assert.deepStrictEqual(world.timers.map((timer) => timer.milliseconds), [100, 100, 100, 100])
    world.runTimers()
    assert.deepStrictEqual(sketch.exports, [['Home Screen', { formats: 'png', scales: '3', output: false }]])
    assert.deepStrictEqual(fs.readFileSync(preview), support.pngBytes('Home Screen'))
    assert.deepStrictEqual(fs.readdirSync(folder).sort(), ['Preview@3x.png', 'status.json'])
    assert.deepStrictEqual(world.logs, [])
  })
})

test('a preview the app has not taken yet is replaced', () => {
  support.withHome((home) => {
    const { world, plugin, folder, preview } = scene(home)
    connect(folder, true)
    fs.writeFileSync(preview, 'an older preview')
    plugin.onOpenDocument({ actionContext: {} })
    world.runTimers()
    assert.deepStrictEqual(fs.readFileSync(preview), support.pngBytes('Home Screen'))
    assert.deepStrictEqual(fs.readdirSync(folder).sort(), ['Preview@3x.png', 'status.json'])
  })
})

test('with no phone connected the handlers export nothing, and the shared folder is made', () => {
  support.withHome((home) => {
    const { world, sketch, plugin, folder } = scene(home)
    plugin.onDocumentChanged({ actionContext: [] })
    world.runTimers()
    assert.deepStrictEqual(fs.readdirSync(folder), [])
    connect(folder, false)
    plugin.onDocumentChanged({ actionContext: [] })
    world.runTimers()
    plugin.mirrorNow({})
    assert.deepStrictEqual(sketch.exports, [])
    assert.deepStrictEqual(fs.readdirSync(folder), ['status.json'])
    assert.deepStrictEqual(sketch.messages, ['Glasswing: no phone is connected'])
  })
})

test('Mirror Now exports at once and says so', () => {
  support.withHome((home) => {
    const { world, sketch, plugin, folder, preview } = scene(home)
    connect(folder, true)
    plugin.mirrorNow({})
    assert.deepStrictEqual(world.timers, [])
    assert.deepStrictEqual(sketch.messages, ['Glasswing: mirrored "Home Screen"'])
    assert.deepStrictEqual(fs.readFileSync(preview), support.pngBytes('Home Screen'))
  })
})

test('a write that fails is logged, leaves no temporary file and no preview', () => {
  support.withHome((home) => {
    const { world, sketch, plugin, folder } = scene(home, { failWrites: true })
    connect(folder, true)
    plugin.mirrorNow({})
    assert.deepStrictEqual(fs.readdirSync(folder), ['status.json'])
    assert.strictEqual(world.logs.length, 1)
    assert.match(world.logs[0], /The volume is full/)
    assert.deepStrictEqual(sketch.messages, ['Glasswing: could not mirror (see the plug-in log)'])
  })
})
