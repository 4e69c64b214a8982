// The plug-in's logic outside Sketch: paths, the connected check, the atomic write, the choice of
// artboard, the skip while no phone is connected, and the settling of bursts of changes.
'use strict'

const test = require('node:test')
const assert = require('node:assert')
const fs = require('node:fs')
const path = require('node:path')

const support = require('./support')
const plugin = require(support.scriptPath)

const { artboard, group, shape, page, documentWith } = support

// ---- Paths

test('the shared folder is com.tessaro.Preview in the caches of the home folder', () => {
  assert.strictEqual(plugin.sharedFolder('/Users/ada'), '/Users/ada/Library/Caches/com.tessaro.Preview')
  assert.strictEqual(plugin.sharedFolder('/Users/ada/'), '/Users/ada/Library/Caches/com.tessaro.Preview')
  assert.throws(() => plugin.sharedFolder(''), /home/)
})

test('the preview and the status are named as the app expects, in the shared folder', () => {
  const folder = '/Users/ada/Library/Caches/com.tessaro.Preview'
  assert.strictEqual(plugin.previewPath(folder), folder + '/Preview@3x.png')
  assert.strictEqual(plugin.statusPath(folder), folder + '/status.json')
})

test('the temporary name is hidden, beside the final one, and carries the token', () => {
  assert.strictEqual(plugin.temporaryPath('/c/Preview@3x.png', 'k3y'), '/c/.Preview@3x.png.tmp-k3y')
})

test('random tokens are twelve lower-case letters or digits, and differ', () => {
  const tokens = new Set()
  for (let i = 0; i < 50; i++) {
    const token = plugin.randomToken(Math.random)
    assert.match(token, /^[0-9a-z]{12}$/)
    tokens.add(token)
  }
  assert.strictEqual(tokens.size, 50)
})

// ---- The app's status

test('only a JSON object whose isConnected is true counts as connected', () => {
  const rows = [
    ['{"isConnected":true}', true],
    ['{ "isConnected" : true }\n', true],
    ['{"isConnected":false}', false],
    ['{"isConnected":"true"}', false],
    ['{"isConnected":1}', false],
    ['{}', false],
    ['[true]', false],
    ['true', false],
    ['null', false],
    ['', false],
    ['{"isConnected":tr', false],
    ['\u0000\u0001garbage', false],
  ]
  for (const [text, connected] of rows) {
    assert.strictEqual(plugin.parseConnected(text), connected, JSON.stringify(text))
  }
})

test('a missing or unreadable status file counts as no phone connected', () => {
  support.withHome((home) => {
    const fileSystem = support.nodeFileSystem()
    assert.strictEqual(plugin.phoneIsConnected(fileSystem, path.join(home, 'missing')), false)
    // A folder where the file should be: reading it fails.
    fs.mkdirSync(path.join(home, 'status.json'))
    assert.strictEqual(plugin.phoneIsConnected(fileSystem, home), false)
    fs.rmdirSync(path.join(home, 'status.json'))
    fs.writeFileSync(path.join(home, 'status.json'), '{"isConnected":true}')
    assert.strictEqual(plugin.phoneIsConnected(fileSystem, home), true)
  })
})

// ---- The atomic write

test('the bytes reach the final name through a temporary file in the same folder', () => {
  support.withHome((home) => {
    const calls = []
    const fileSystem = support.recordingFileSystem(support.nodeFileSystem(), calls)
    const finalPath = path.join(home, 'Preview@3x.png')
    fs.writeFileSync(finalPath, 'the previous preview')
    plugin.writeAtomically(fileSystem, finalPath, support.pngBytes('new'), 'tok')
    const temporary = path.join(home, '.Preview@3x.png.tmp-tok')
    assert.deepStrictEqual(calls, [['writeBytes', temporary], ['rename', temporary, finalPath]])
    assert.deepStrictEqual(fs.readFileSync(finalPath), support.pngBytes('new'))
    assert.deepStrictEqual(fs.readdirSync(home), ['Preview@3x.png'])
  })
})

test('a write that fails midway leaves the final name as it was and no temporary file', () => {
  support.withHome((home) => {
    const finalPath = path.join(home, 'Preview@3x.png')
    const real = support.nodeFileSystem()
    // Writes half of the bytes, then fails, as a full disk would.
    const tearing = Object.assign({}, real, {
      writeBytes: (p, bytes) => {
        real.writeBytes(p, bytes.subarray(0, bytes.length >> 1))
        throw new Error('No space left on device')
      },
    })
    for (const before of [null, 'the previous preview']) {
      if (before !== null) fs.writeFileSync(finalPath, before)
      assert.throws(() => plugin.writeAtomically(tearing, finalPath, support.pngBytes('a long new preview'), 't'),
        /No space left/)
      assert.deepStrictEqual(fs.readdirSync(home), before === null ? [] : ['Preview@3x.png'])
      if (before !== null) assert.strictEqual(fs.readFileSync(finalPath, 'utf8'), before)
    }
  })
})

test('a rename that fails removes the temporary file and passes the error on', () => {
  support.withHome((home) => {
    const finalPath = path.join(home, 'Preview@3x.png')
    const failing = Object.assign(support.nodeFileSystem(), {
      rename: () => {
        throw new Error('rename refused')
      },
    })
    assert.throws(() => plugin.writeAtomically(failing, finalPath, support.pngBytes('x'), 't'), /rename refused/)
    assert.deepStrictEqual(fs.readdirSync(home), [])
  })
})

// ---- Choosing the artboard

test('the artboard: the selected one, else the one holding the selection, else the first on the page', () => {
  const inner = shape('Inner')
  const nested = group('Group', [group('Deeper', [inner])])
  const first = artboard('First', [shape('Dot')])
  const second = artboard('Second', [nested])
  const loose = shape('Loose')
  const current = page('Page 1', [loose, first, second])
  const other = page('Page 2', [artboard('Elsewhere')])

  const choose = (selected, selectedPage) => {
    const chosen = plugin.chooseArtboard(documentWith([current, other], selected, selectedPage))
    return chosen ? chosen.name : null
  }
  assert.strictEqual(choose([second]), 'Second')
  assert.strictEqual(choose([inner]), 'Second')
  assert.strictEqual(choose([nested]), 'Second')
  // The first selected layer inside an artboard decides.
  assert.strictEqual(choose([loose, inner, first.layers[0]]), 'Second')
  // Nothing selected, or nothing inside an artboard: the page's first artboard.
  assert.strictEqual(choose([]), 'First')
  assert.strictEqual(choose([loose]), 'First')
  assert.strictEqual(choose([], other), 'Elsewhere')
  assert.strictEqual(choose([], page('Empty', [shape('Only a shape')])), null)
  assert.strictEqual(plugin.chooseArtboard(null), null)
})

test('the selection may come as a plain array of layers too', () => {
  const board = artboard('Board', [shape('S')])
  const document = documentWith([page('P', [artboard('Other'), board])])
  document.selectedLayers = [board.layers[0]]
  assert.strictEqual(plugin.chooseArtboard(document).name, 'Board')
})

// ---- Mirroring

function environmentIn(home, overrides) {
  const board = artboard('Board', [shape('S')])
  const exports = []
  const environment = Object.assign({
    fileSystem: support.nodeFileSystem(),
    folder: plugin.sharedFolder(home),
    document: documentWith([page('P', [board])]),
    exportPNG: (chosen) => {
      exports.push(chosen.name)
      return support.pngBytes(chosen.name)
    },
    token: () => 'tok',
  }, overrides)
  return { environment, exports, preview: plugin.previewPath(environment.folder) }
}

function writeStatus(home, text) {
  const folder = plugin.sharedFolder(home)
  fs.mkdirSync(folder, { recursive: true })
  fs.writeFileSync(plugin.statusPath(folder), text)
}

test('with a phone connected the chosen artboard is exported and put in place', () => {
  support.withHome((home) => {
    writeStatus(home, '{"isConnected":true}')
    const { environment, exports, preview } = environmentIn(home)
    const result = plugin.mirror(environment)
    assert.strictEqual(result.outcome, plugin.MIRRORED)
    assert.deepStrictEqual(exports, ['Board'])
    assert.deepStrictEqual(fs.readFileSync(preview), support.pngBytes('Board'))
    assert.deepStrictEqual(fs.readdirSync(environment.folder).sort(), ['Preview@3x.png', 'status.json'])
  })
})

test('while no phone is connected nothing is exported or written, whatever the status says', () => {
  for (const status of [null, '{"isConnected":false}', '{"isConnected":', 'not json', '{"isConnected":"yes"}']) {
    support.withHome((home) => {
      if (status !== null) writeStatus(home, status)
      const { environment, exports, preview } = environmentIn(home)
      assert.strictEqual(plugin.mirror(environment).outcome, plugin.NOT_CONNECTED, String(status))
      assert.deepStrictEqual(exports, [], String(status))
      assert.strictEqual(fs.existsSync(preview), false, String(status))
    })
  }
})

test('the shared folder is made when it is missing, parents and all', () => {
  support.withHome((home) => {
    const { environment } = environmentIn(home)
    assert.strictEqual(fs.existsSync(environment.folder), false)
    plugin.mirror(environment)
    assert.strictEqual(fs.statSync(environment.folder).isDirectory(), true)
  })
})

test('no document, or no artboard on the page, exports nothing', () => {
  support.withHome((home) => {
    writeStatus(home, '{"isConnected":true}')
    const none = environmentIn(home, { document: null })
    assert.strictEqual(plugin.mirror(none.environment).outcome, plugin.NO_DOCUMENT)
    const bare = environmentIn(home, { document: documentWith([page('P', [shape('S')])]) })
    assert.strictEqual(plugin.mirror(bare.environment).outcome, plugin.NO_ARTBOARD)
    assert.deepStrictEqual(none.exports.concat(bare.exports), [])
    assert.deepStrictEqual(fs.readdirSync(none.environment.folder), ['status.json'])
  })
})

test('a failed or empty export leaves the previous preview and no temporary file', () => {
  support.withHome((home) => {
    writeStatus(home, '{"isConnected":true}')
    for (const exportPNG of [() => { throw new Error('export failed') }, () => Buffer.alloc(0), () => undefined]) {
      const { environment, preview } = environmentIn(home, { exportPNG })
      fs.writeFileSync(preview, 'the previous preview')
      assert.throws(() => plugin.mirror(environment))
      assert.strictEqual(fs.readFileSync(preview, 'utf8'), 'the previous preview')
      assert.deepStrictEqual(fs.readdirSync(environment.folder).sort(), ['Preview@3x.png', 'status.json'])
    }
  })
})

test('the export asks Sketch for PNG bytes at 3x, not for files', () => {
  const asked = []
  const sketch = {
    export: (object, options) => {
      asked.push([object.name, options])
      return support.pngBytes('x')
    },
  }
  plugin.exportArtboardPNG(sketch, artboard('Board'))
  assert.deepStrictEqual(asked, [['Board', { formats: 'png', scales: '3', output: false }]])
})

test('a failed mirror is logged and reported, not thrown, for the handlers', () => {
  support.withHome((home) => {
    writeStatus(home, '{"isConnected":true}')
    const lines = []
    const { environment } = environmentIn(home, { exportPNG: () => { throw new Error('export failed') } })
    const result = plugin.mirrorReporting(environment, (line) => lines.push(line))
    assert.strictEqual(result.outcome, plugin.FAILED)
    assert.strictEqual(lines.length, 1)
    assert.match(lines[0], /export failed/)
  })
})

// ---- Bursts of changes

function manualClock() {
  const pending = []
  return {
    schedule: (callback, milliseconds) => pending.push({ callback, milliseconds }),
    pending,
    runAll: () => {
      while (pending.length) pending.shift().callback()
    },
  }
}

function mapStore() {
  const map = new Map()
  return { get: (key) => map.get(key), set: (key, value) => map.set(key, value) }
}

test('a burst of changes is mirrored once, after the last change, about 100 ms later', () => {
  const clock = manualClock()
  const store = mapStore()
  const runs = []
  for (let i = 0; i < 5; i++) plugin.requestAfterBurst(store, clock.schedule, () => runs.push(i))
  assert.deepStrictEqual(runs, [])
  assert.deepStrictEqual(clock.pending.map((entry) => entry.milliseconds), [100, 100, 100, 100, 100])
  assert.strictEqual(plugin.SETTLE_MILLISECONDS, 100)
  clock.runAll()
  assert.deepStrictEqual(runs, [4])
  // A later burst is mirrored again.
  plugin.requestAfterBurst(store, clock.schedule, () => runs.push('later'))
  clock.runAll()
  assert.deepStrictEqual(runs, [4, 'later'])
})

test('the latest request survives in a store that gives numbers back as other objects', () => {
  // Sketch's thread dictionary gives numbers back as NSNumber objects, not JavaScript numbers.
  const map = new Map()
  const store = { get: (key) => (map.has(key) ? new Number(map.get(key)) : null), set: (key, value) => map.set(key, value) }
  const clock = manualClock()
  const runs = []
  plugin.requestAfterBurst(store, clock.schedule, () => runs.push('first'))
  plugin.requestAfterBurst(store, clock.schedule, () => runs.push('second'))
  clock.runAll()
  assert.deepStrictEqual(runs, ['second'])
})

test('changes mirror through the services once settled; Mirror Now at once, saying what came of it', () => {
  support.withHome((home) => {
    writeStatus(home, '{"isConnected":true}')
    const clock = manualClock()
    let built = 0
    const services = {
      store: mapStore(),
      schedule: clock.schedule,
      environment: () => {
        built++
        return environmentIn(home).environment
      },
      log: (line) => assert.fail(line),
    }
    plugin.mirrorAfterBurst(services)
    plugin.mirrorAfterBurst(services)
    assert.strictEqual(built, 0)
    clock.runAll()
    assert.strictEqual(built, 1)
    const preview = plugin.previewPath(plugin.sharedFolder(home))
    assert.deepStrictEqual(fs.readFileSync(preview), support.pngBytes('Board'))

    fs.unlinkSync(preview)
    const messages = []
    assert.strictEqual(plugin.mirrorAtOnce(services, (m) => messages.push(m)).outcome, plugin.MIRRORED)
    assert.strictEqual(fs.existsSync(preview), true)
    writeStatus(home, '{"isConnected":false}')
    plugin.mirrorAtOnce(services, (m) => messages.push(m))
    assert.deepStrictEqual(messages, ['Glasswing: mirrored "Board"', 'Glasswing: no phone is connected'])
  })
})
