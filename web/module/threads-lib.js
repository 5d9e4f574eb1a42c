// The threaded module's source function: the library may read from a
// worker thread (the next layer read ahead), and the source lives on the
// main thread's Module, so the call is made there.
mergeInto(LibraryManager.library, {
  yvnw_js_read__proxy: 'sync',
  yvnw_js_read__sig: 'iidii',
  yvnw_js_read: function (id, offset, buffer, size) {
    return Module.yvnRead(id, offset, buffer >>> 0, size >>> 0);
  },
});
