// Glasswing for Sketch: puts the current artboard, at 3x, where the Glasswing app picks it up and
// mirrors it to phones. While no phone is connected it exports nothing.
//
// Sketch runs this file with its own globals (require('sketch'), NSFileManager, ...) and calls the
// handlers named in manifest.json; Node loads it for the tests. The logic is in plain functions
// that take the file system and Sketch's objects as parameters; only the functions under "Sketch
// itself" near the end reach Sketch, and nothing runs while the file loads.

var FOLDER_NAME = 'com.tessaro.Preview'
var PREVIEW_NAME = 'Preview@3x.png'
var STATUS_NAME = 'status.json'
// A burst of changes (a drag, typing) is mirrored once, this long after its last change.
var SETTLE_MILLISECONDS = 100
// Where the latest request for a mirror is kept between handler calls, which Sketch may make in
// separate script contexts.
var TICKET_KEY = 'com.tessaro.Glasswing.mirrorTicket'

var MIRRORED = 'mirrored'
var NOT_CONNECTED = 'not-connected'
var NO_DOCUMENT = 'no-document'
var NO_ARTBOARD = 'no-artboard'
var FAILED = 'failed'

// ---- Paths

function joinPath(folder, name) {
  return String(folder).replace(/\/+$/, '') + '/' + name
}

// The folder shared with the app: "com.tessaro.Preview" in the user's caches folder.
function sharedFolder(home) {
  if (!home) throw new Error('there is no home folder to put the preview in')
  return joinPath(joinPath(joinPath(home, 'Library'), 'Caches'), FOLDER_NAME)
}

function previewPath(folder) {
  return joinPath(folder, PREVIEW_NAME)
}

function statusPath(folder) {
  return joinPath(folder, STATUS_NAME)
}

// A hidden name beside the final one, so the rename into place stays on one file system.
function temporaryPath(finalPath, token) {
  var slash = finalPath.lastIndexOf('/')
  return finalPath.slice(0, slash + 1) + '.' + finalPath.slice(slash + 1) + '.tmp-' + token
}

function randomToken(random) {
  var token = ''
  for (var i = 0; i < 12; i++) token += Math.floor(random() * 36).toString(36)
  return token
}

// ---- The app's status

// True only for a JSON object whose "isConnected" is the boolean true.
function parseConnected(text) {
  var status
  try {
    status = JSON.parse(String(text))
  } catch (error) {
    return false
  }
  return status !== null && typeof status === 'object' && !Array.isArray(status) && status.isConnected === true
}

// A status file that is missing or cannot be read counts as no phone connected.
function phoneIsConnected(fileSystem, folder) {
  var text
  try {
    text = fileSystem.readText(statusPath(folder))
  } catch (error) {
    return false
  }
  return parseConnected(text)
}

// ---- Writing the preview

function byteCount(bytes) {
  if (!bytes) return 0
  if (typeof bytes.length === 'number') return bytes.length
  if (typeof bytes.length === 'function') return Number(bytes.length())
  return 0
}

// Writes under a temporary name in the same folder, then renames into place: the final name only
// ever holds a whole file. On failure the temporary file goes away and the error is passed on.
function writeAtomically(fileSystem, finalPath, bytes, token) {
  var temporary = temporaryPath(finalPath, token)
  try {
    fileSystem.writeBytes(temporary, bytes)
    fileSystem.rename(temporary, finalPath)
  } catch (error) {
    try {
      fileSystem.remove(temporary)
    } catch (ignored) {
      // Never written, or already gone.
    }
    throw error
  }
}

// ---- Choosing the artboard

function listOf(collection) {
  if (!collection) return []
  if (Array.isArray(collection)) return collection
  if (Array.isArray(collection.layers)) return collection.layers
  if (typeof collection.length === 'number') return Array.prototype.slice.call(collection)
  return []
}

function isArtboard(layer) {
  return Boolean(layer) && layer.type === 'Artboard'
}

// The artboard a layer is, or is in; null for a layer outside any artboard.
function artboardOf(layer) {
  for (var current = layer; current; current = current.parent) {
    if (isArtboard(current)) return current
    if (current.type === 'Page' || current.type === 'Document') return null
  }
  return null
}

// The selected artboard, or the one holding the selection, or else the first artboard of the
// current page; null when the page has none.
function chooseArtboard(document) {
  if (!document) return null
  var selected = listOf(document.selectedLayers)
  for (var i = 0; i < selected.length; i++) {
    var holder = artboardOf(selected[i])
    if (holder) return holder
  }
  var onPage = listOf(document.selectedPage && document.selectedPage.layers)
  for (var j = 0; j < onPage.length; j++) {
    if (isArtboard(onPage[j])) return onPage[j]
  }
  return null
}

// ---- Mirroring

// PNG bytes of the artboard at 3x, through Sketch's export with no output folder.
function exportArtboardPNG(sketch, artboard) {
  return sketch.export(artboard, { formats: 'png', scales: '3', output: false })
}

// One mirror. environment: fileSystem (makeFolder, readText, writeBytes, rename, remove), folder,
// document, exportPNG(artboard) giving the bytes, token() giving a fresh temporary-name suffix.
// Returns { outcome, artboard }; throws when the folder, the export or the write fails.
function mirror(environment) {
  var fileSystem = environment.fileSystem
  fileSystem.makeFolder(environment.folder)
  if (!phoneIsConnected(fileSystem, environment.folder)) return { outcome: NOT_CONNECTED }
  if (!environment.document) return { outcome: NO_DOCUMENT }
  var artboard = chooseArtboard(environment.document)
  if (!artboard) return { outcome: NO_ARTBOARD }
  var bytes = environment.exportPNG(artboard)
  if (byteCount(bytes) === 0) throw new Error('the export of "' + artboard.name + '" came back empty')
  writeAtomically(fileSystem, previewPath(environment.folder), bytes, environment.token())
  return { outcome: MIRRORED, artboard: artboard }
}

// A mirror whose failure is logged and reported as an outcome, for handlers that must not throw.
function mirrorReporting(environment, log) {
  try {
    return mirror(environment)
  } catch (error) {
    log('Glasswing: could not mirror: ' + (error && error.message ? error.message : String(error)))
    return { outcome: FAILED, error: error }
  }
}

// Asks for a mirror once the burst of changes this request belongs to has settled: every request
// supersedes the ones before it, and only the last of a burst runs, SETTLE_MILLISECONDS after it.
// store (get, set) keeps the latest ticket; schedule(callback, milliseconds) runs it later.
function requestAfterBurst(store, schedule, run) {
  var ticket = Number(store.get(TICKET_KEY) || 0) + 1
  store.set(TICKET_KEY, ticket)
  schedule(function () {
    if (Number(store.get(TICKET_KEY)) === ticket) run()
  }, SETTLE_MILLISECONDS)
  return ticket
}

// services: store, schedule, environment() building a mirror's environment when it runs, log.
function mirrorAfterBurst(services) {
  return requestAfterBurst(services.store, services.schedule, function () {
    mirrorReporting(services.environment(), services.log)
  })
}

// The words shown after "Mirror Now".
function describeOutcome(result) {
  switch (result.outcome) {
    case MIRRORED:
      return 'Glasswing: mirrored "' + result.artboard.name + '"'
    case NOT_CONNECTED:
      return 'Glasswing: no phone is connected'
    case NO_DOCUMENT:
      return 'Glasswing: no document is open'
    case NO_ARTBOARD:
      return 'Glasswing: this page has no artboard to mirror'
    default:
      return 'Glasswing: could not mirror (see the plug-in log)'
  }
}

function mirrorAtOnce(services, notify) {
  var result = mirrorReporting(services.environment(), services.log)
  notify(describeOutcome(result))
  return result
}

// ---- Sketch itself

function cocoaError(what, path, errorPointer) {
  var error = errorPointer ? errorPointer.value() : null
  var reason = error ? ': ' + String(error.localizedDescription()) : ''
  return new Error('could not ' + what + ' ' + path + reason)
}

// The file system through Foundation: Sketch offers no "fs" of its own to a plug-in that is not
// bundled with one.
function sketchFileSystem() {
  var manager = NSFileManager.defaultManager()
  return {
    makeFolder: function (path) {
      var error = MOPointer.alloc().init()
      if (!manager.createDirectoryAtPath_withIntermediateDirectories_attributes_error(path, true, null, error)) {
        throw cocoaError('make the folder', path, error)
      }
    },
    readText: function (path) {
      var data = manager.contentsAtPath(path)
      if (!data) throw new Error('could not read ' + path)
      var text = NSString.alloc().initWithData_encoding(data, NSUTF8StringEncoding)
      if (!text) throw new Error(path + ' is not UTF-8 text')
      return String(text)
    },
    writeBytes: function (path, bytes) {
      var data = typeof bytes.toNSData === 'function' ? bytes.toNSData() : bytes
      var error = MOPointer.alloc().init()
      if (!data.writeToFile_options_error(path, 0, error)) throw cocoaError('write', path, error)
    },
    // Moving onto an existing file fails in Foundation, so an existing preview (one the app has
    // not taken yet) is replaced in one step instead. When the app took it in between, the move
    // is tried again.
    rename: function (from, to) {
      var error = MOPointer.alloc().init()
      if (manager.moveItemAtPath_toPath_error(from, to, error)) return
      if (!manager.fileExistsAtPath(to)) {
        error = MOPointer.alloc().init()
        if (manager.moveItemAtPath_toPath_error(from, to, error)) return
        throw cocoaError('move ' + from + ' to', to, error)
      }
      var replaceError = MOPointer.alloc().init()
      var replaced = manager.replaceItemAtURL_withItemAtURL_backupItemName_options_resultingItemURL_error(
        NSURL.fileURLWithPath(to), NSURL.fileURLWithPath(from), null, 0, null, replaceError)
      if (!replaced) throw cocoaError('replace', to, replaceError)
    },
    remove: function (path) {
      var error = MOPointer.alloc().init()
      if (!manager.removeItemAtPath_error(path, error)) throw cocoaError('remove', path, error)
    },
  }
}

function sketchStore() {
  var dictionary = NSThread.mainThread().threadDictionary()
  return {
    get: function (key) {
      return dictionary.objectForKey(key)
    },
    set: function (key, value) {
      dictionary.setObject_forKey(value, key)
    },
  }
}

function sketchSchedule() {
  if (typeof setTimeout === 'function') return setTimeout
  return require('timers').setTimeout
}

function sketchLog(message) {
  if (typeof console !== 'undefined') console.log(message)
}

function sketchEnvironment() {
  var sketch = require('sketch')
  return {
    fileSystem: sketchFileSystem(),
    folder: sharedFolder(String(NSHomeDirectory())),
    document: sketch.getSelectedDocument(),
    exportPNG: function (artboard) {
      return exportArtboardPNG(sketch, artboard)
    },
    token: function () {
      return randomToken(Math.random)
    },
  }
}

function sketchServices() {
  return { store: sketchStore(), schedule: sketchSchedule(), environment: sketchEnvironment, log: sketchLog }
}

// ---- Handlers named in manifest.json

// Plugins > Glasswing > Mirror Now: at once, and says what came of it.
function mirrorNow(context) {
  mirrorAtOnce(sketchServices(), function (message) {
    require('sketch').UI.message(message)
  })
}

// Any change to a document's content (Sketch batches the changes of one moment into one call).
function onDocumentChanged(context) {
  mirrorAfterBurst(sketchServices())
}

// Another selection, another current artboard, a document opened: another artboard may be current.
function onSelectionChanged(context) {
  mirrorAfterBurst(sketchServices())
}

function onArtboardChanged(context) {
  mirrorAfterBurst(sketchServices())
}

function onOpenDocument(context) {
  mirrorAfterBurst(sketchServices())
}

if (typeof module !== 'undefined' && module && typeof module.exports === 'object') {
  module.exports = {
    FOLDER_NAME: FOLDER_NAME,
    PREVIEW_NAME: PREVIEW_NAME,
    STATUS_NAME: STATUS_NAME,
    SETTLE_MILLISECONDS: SETTLE_MILLISECONDS,
    MIRRORED: MIRRORED,
    NOT_CONNECTED: NOT_CONNECTED,
    NO_DOCUMENT: NO_DOCUMENT,
    NO_ARTBOARD: NO_ARTBOARD,
    FAILED: FAILED,
    sharedFolder: sharedFolder,
    previewPath: previewPath,
    statusPath: statusPath,
    temporaryPath: temporaryPath,
    randomToken: randomToken,
    parseConnected: parseConnected,
    phoneIsConnected: phoneIsConnected,
    writeAtomically: writeAtomically,
    chooseArtboard: chooseArtboard,
    exportArtboardPNG: exportArtboardPNG,
    mirror: mirror,
    mirrorReporting: mirrorReporting,
    requestAfterBurst: requestAfterBurst,
    mirrorAfterBurst: mirrorAfterBurst,
    mirrorAtOnce: mirrorAtOnce,
    describeOutcome: describeOutcome,
    mirrorNow: mirrorNow,
    onDocumentChanged: onDocumentChanged,
    onSelectionChanged: onSelectionChanged,
    onArtboardChanged: onArtboardChanged,
    onOpenDocument: onOpenDocument,
  }
}
