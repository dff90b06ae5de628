// The viewer: renders the JSON embedded in the page (#trel-data), a stored request or a
// list of them. Every stored text goes in as text, never as markup.
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('trel-data').textContent);
  var live = data.live || null; // set when the extension serves the page on the site

  function el(tag, attrs, children) {
    var node = document.createElement(tag);
    if (attrs) {
      Object.keys(attrs).forEach(function (name) {
        var value = attrs[name];
        if (value === null || value === undefined || value === false) return;
        if (name === 'text') node.textContent = value;
        else if (name === 'class') node.className = value;
        else if (name.slice(0, 2) === 'on') node.addEventListener(name.slice(2), value);
        else node.setAttribute(name, value === true ? '' : value);
      });
    }
    (children || []).forEach(function (child) {
      if (child === null || child === undefined || child === false) return;
      node.appendChild(typeof child === 'string' ? document.createTextNode(child) : child);
    });
    return node;
  }

  function duration(us) {
    if (us < 1000) return us + ' us';
    if (us < 1000000) return (us / 1000).toFixed(us < 100000 ? 2 : 1) + ' ms';
    return (us / 1000000).toFixed(2) + ' s';
  }
  function plural(n, one, many) { return n + ' ' + (n === 1 ? one : many); }
  function pathOf(url) {
    var match = /^[a-z]+:\/\/[^\/?#]*(.*)$/i.exec(url);
    return match ? (match[1] || '/') : url;
  }
  function link(query) { return live ? live.path + '?' + query : null; }
  function detailsLink(pageId) { return link('__trel=' + encodeURIComponent(pageId)); }
  function requestsLink(extra) { return link('__trel_requests=1' + (extra || '')); }

  function header(title) {
    var nav = el('nav');
    if (live && data.view !== 'requests') nav.appendChild(el('a', {href: requestsLink(), 'data-trel-link': 'requests', text: 'Requests'}));
    if (live && data.view === 'request')
      nav.appendChild(el('a', {href: link('__trel_json=' + encodeURIComponent(data.request.page_id)),
                               text: 'JSON'}));
    return el('header', {class: 'top'}, [el('strong', {text: 'trel'}), el('span', {text: title}), nav]);
  }

  // PHP's serialize() text, read by bytes as PHP wrote it: {t, v} nodes; arrays and
  // objects have entries [key, node].
  function unserialize(text) {
    var bytes = new TextEncoder().encode(text), pos = 0, decoder = new TextDecoder();
    function fail() { throw new Error('not serialize() text at byte ' + pos); }
    function take(ch) { if (bytes[pos] !== ch.charCodeAt(0)) fail(); pos++; }
    function until(ch) {
      var start = pos, code = ch.charCodeAt(0);
      while (pos < bytes.length && bytes[pos] !== code) pos++;
      if (pos >= bytes.length) fail();
      return decoder.decode(bytes.subarray(start, pos++));
    }
    function chars(n) {
      if (!(n >= 0) || pos + n > bytes.length) fail();
      var s = decoder.decode(bytes.subarray(pos, pos + n));
      pos += n;
      return s;
    }
    function entries(n, object) {
      var list = [];
      take('{');
      for (var i = 0; i < n; i++) {
        var key = value().v, item = value();
        if (object && typeof key === 'string' && key.charAt(0) === '\0')
          key = key.slice(key.indexOf('\0', 1) + 1); // private or protected property
        list.push([String(key), item]);
      }
      take('}');
      return list;
    }
    function value() {
      var type = String.fromCharCode(bytes[pos++]), n, cls;
      if (type === 'N') { take(';'); return {t: 'null'}; }
      take(':');
      switch (type) {
        case 'b': return {t: 'bool', v: until(';') === '1'};
        case 'i': return {t: 'int', v: until(';')};
        case 'd': return {t: 'float', v: until(';')};
        case 's': n = +until(':'); take('"'); var s = chars(n); take('"'); take(';'); return {t: 'string', v: s};
        case 'a': n = +until(':'); return {t: 'array', entries: entries(n, false)};
        case 'O': n = +until(':'); take('"'); cls = chars(n); take('"'); take(':');
          n = +until(':'); return {t: 'object', cls: cls, entries: entries(n, true)};
        case 'C': n = +until(':'); take('"'); cls = chars(n); take('"'); take(':');
          n = +until(':'); take('{'); var raw = chars(n); take('}'); return {t: 'custom', cls: cls, v: raw};
        case 'E': n = +until(':'); take('"'); var name = chars(n); take('"'); take(';'); return {t: 'enum', v: name};
        case 'r': case 'R': return {t: 'ref', v: until(';')};
      }
      fail();
    }
    var root = value();
    if (pos !== bytes.length) fail();
    return root;
  }

  function same(a, b) { return JSON.stringify(a) === JSON.stringify(b); }

  function scalar(node) {
    switch (node.t) {
      case 'null': return el('span', {class: 'type', text: 'null'});
      case 'bool': return el('span', {class: 'type', text: node.v ? 'true' : 'false'});
      case 'int': case 'float': return el('span', {text: node.v});
      case 'string':
        if (node.v === '***') return el('span', {class: 'masked', title: 'masked by trel.mask', text: 'masked'});
        return el('span', {class: 'str', text: node.v});
      case 'enum': return el('span', {text: node.v});
      case 'ref': return el('span', {class: 'type', text: 'reference #' + node.v});
      case 'custom': return el('span', {}, [el('span', {class: 'type', text: node.cls + ' '}), node.v]);
    }
    return null;
  }

  // A value in a table cell: nested arrays and objects folded.
  function valueCell(node, depth) {
    if (node.t !== 'array' && node.t !== 'object') return scalar(node);
    var label = (node.t === 'array' ? 'array' : node.cls) + ' (' + node.entries.length + ')';
    if (!node.entries.length) return el('span', {class: 'type', text: label});
    var inner = kvTable(node.entries, null, depth + 1);
    return el('details', {open: depth < 0}, [el('summary', {text: label}), inner]);
  }

  // Rows of key -> value; with `before` (the start's entries), rows say what changed.
  function kvTable(entries, before, depth) {
    var body = el('tbody');
    var previous = {};
    if (before) before.forEach(function (entry) { previous[entry[0]] = entry[1]; });
    var seen = {};
    entries.forEach(function (entry) {
      var key = entry[0], state = null;
      seen[key] = true;
      if (before) {
        if (!(key in previous)) state = 'added';
        else if (!same(previous[key], entry[1])) state = 'changed';
      }
      body.appendChild(el('tr', {class: state, 'data-key': key}, [
        el('td', {class: 'key', text: key}),
        el('td', {class: 'val'}, [valueCell(entry[1], depth),
          state ? el('span', {class: 'change', text: state === 'added' ? 'new at the end' : 'changed'}) : null,
          state === 'changed' ? el('div', {class: 'muted'}, ['was: ', valueCell(previous[key], depth)]) : null])
      ]));
    });
    if (before) before.forEach(function (entry) {
      if (seen[entry[0]]) return;
      body.appendChild(el('tr', {class: 'removed', 'data-key': entry[0]}, [
        el('td', {class: 'key', text: entry[0]}),
        el('td', {class: 'val'}, [valueCell(entry[1], depth), el('span', {class: 'change', text: 'gone at the end'})])]));
    });
    return el('table', {class: 'kv'}, [body]);
  }

  function section(id, title, note, children) {
    return el('section', {id: id}, [el('h2', {}, [title + ' ', note ? el('small', {text: note}) : null])].concat(children));
  }

  function breakdown(r) {
    var b = r.breakdown || {database_us: 0, network_us: 0, local_us: 0, php_us: 0};
    var total = b.database_us + b.network_us + b.local_us + b.php_us;
    var rows = [['database', 'Database', b.database_us], ['network', 'Network', b.network_us],
                ['local', 'Local', b.local_us], ['php', 'PHP', b.php_us]].map(function (part) {
      var share = total > 0 ? part[2] / total : 0;
      return el('div', {class: 'row'}, [el('span', {class: 'label', text: part[1]}),
        el('div', {class: 'track'}, [el('div', {class: 'bar', 'data-part': part[0], 'data-us': part[2],
                                                style: 'width:' + (share * 100).toFixed(4) + '%'})]),
        el('span', {class: 'value', text: duration(part[2]) + ' \u00b7 ' + (share * 100).toFixed(1) + '%'})]);
    });
    return section('breakdown', 'Time breakdown', r.breakdown ? duration(total) : 'none stored',
                   [el('div', {class: 'chart', role: 'img', 'aria-label': 'Time spent in the database, on the network, locally and in PHP'}, rows)]);
  }

  function where(file, line) {
    return file ? el('div', {class: 'where', text: 'at ' + file + ':' + line}) : null;
  }
  function backtrace(text) {
    return text ? el('details', {}, [el('summary', {text: 'backtrace'}), el('pre', {class: 'backtrace', text: text})]) : null;
  }

  // Prepared texts run this often or more are likely a query in a loop.
  var LoopRuns = 5;

  function queries(r) {
    var list = r.query_list, loops = {}, groups = [], byText = {};
    list.forEach(function (q) {
      var key = q.prepared || q.statement;
      var loop = loops[key] || (loops[key] = {text: key, count: 0, total: 0});
      loop.count++;
      loop.total += q.time_us;
      var group = byText[q.statement];
      if (!group) { group = byText[q.statement] = {first: q, count: 0, total: 0, failed: 0}; groups.push(group); }
      group.count++;
      group.total += q.time_us;
      if (q.failed) group.failed++;
    });
    var flagged = Object.keys(loops).map(function (k) { return loops[k]; })
      .filter(function (loop) { return loop.count >= LoopRuns; })
      .sort(function (a, b) { return b.total - a.total; });
    var children = [];
    if (flagged.length) {
      children.push(el('div', {class: 'alert', id: 'query-loops'}, [el('h3', {text: 'Likely queries in a loop'}),
        el('ul', {}, flagged.map(function (loop) {
          return el('li', {class: 'loop', 'data-count': loop.count, 'data-us': loop.total},
                    [el('b', {text: loop.count + '\u00d7'}), ' ', el('code', {text: loop.text}),
                     ' ', el('span', {class: 'muted', text: 'in all ' + duration(loop.total)})]);
        }))]));
    }
    var ol = el('ol', {class: 'queries'});
    groups.forEach(function (group) {
      var q = group.first, key = q.prepared || q.statement, loop = loops[key].count >= LoopRuns;
      var head = el('div', {class: 'head'}, [el('span', {class: 'time', text: duration(q.time_us)}),
        group.count > 1 ? el('span', {class: 'pill warn', 'data-count': group.count,
                                      text: group.count + '\u00d7 identical, ' + duration(group.total) + ' in all'}) : null,
        q.failed ? el('span', {class: 'outcome failed', text: 'failed ' + q.status + ': ' + q.error})
                 : el('span', {class: 'outcome ok', text: 'ok'}),
        el('span', {class: 'rows', text: plural(q.rows, 'row', 'rows')}),
        el('span', {class: 'transaction', text: q.transaction ? 'transaction ' + q.transaction : 'no transaction'}),
        loop ? el('span', {class: 'pill warn', text: 'in a loop?'}) : null]);
      ol.appendChild(el('li', {class: 'query' + (q.failed ? ' failed' : '') + (loop ? ' loop' : ''),
                               'data-us': q.time_us, 'data-status': q.status, 'data-count': group.count}, [
        head, el('pre', {class: 'sql', text: q.statement}),
        q.prepared && q.prepared !== q.statement ? el('div', {class: 'where', text: 'prepared: ' + q.prepared}) : null,
        where(q.file, q.line), backtrace(q.backtrace)]));
    });
    children.push(ol);
    var failed = list.filter(function (q) { return q.failed; }).length;
    var db = r.breakdown ? r.breakdown.database_us : list.reduce(function (s, q) { return s + q.time_us; }, 0);
    var note = list.length + ', ' + groups.length + ' distinct, slowest first' + (failed ? ', ' + failed + ' failed' : '') +
               (r.time_us > 0 ? '; the database took ' + (100 * db / r.time_us).toFixed(1) + '% of the request' : '');
    return section('queries', 'SQL queries', note, children);
  }

  function errors(r) {
    var ul = el('ul', {class: 'entries'}, r.error_list.map(function (e) {
      return el('li', {class: 'entry' + (e.severe ? ' severe' : ''), 'data-type': e.type}, [
        el('div', {class: 'head'}, [el('span', {class: 'type', text: e.type}),
                                    e.silenced ? el('span', {class: 'muted', text: 'silenced with @'}) : null]),
        el('pre', {class: 'message', text: e.message}),
        el('div', {class: 'where', text: 'at ' + e.file + ':' + e.line + ', ' + e.time}), backtrace(e.backtrace)]);
    }));
    return section('errors', 'Errors and warnings', String(r.errors), [ul]);
  }

  function functions(r) {
    var rows = r.functions.slice(), rest = null, match;
    // The writer may close the list with one row standing for the functions it left out.
    if (rows.length && (match = /^\((\d+) (?:other|more) functions?\)$/.exec(rows[rows.length - 1].name)))
      rest = {row: rows.pop(), count: +match[1]};
    rows = rows.filter(function (f) {
      var m = /^\((\d+) (?:other|more) functions?\)$/.exec(f.name);
      if (m) { rest = {row: f, count: +m[1]}; return false; }
      return true;
    });
    var all = rows.length + (rest ? rest.count : 0);
    var sortBy = 'own_us';
    var body = el('tbody');
    var heads = [['calls', 'Calls'], ['own_us', 'Own time'], ['total_us', 'Total']].map(function (c) {
      return el('th', {class: 'num', 'data-sort': c[0], text: c[1], onclick: function () { sortBy = c[0]; fill(); }});
    });
    function fill() {
      heads.forEach(function (h) { h.classList.toggle('sorted', h.getAttribute('data-sort') === sortBy); });
      rows.sort(function (a, b) { return b[sortBy] - a[sortBy]; });
      body.textContent = '';
      rows.forEach(function (f) {
        body.appendChild(el('tr', {class: 'function', 'data-us': f.own_us}, [
          el('td', {class: 'num', text: f.calls}), el('td', {class: 'num', text: duration(f.own_us)}),
          el('td', {class: 'num', text: duration(f.total_us)}),
          el('td', {}, [f.name, f.file ? el('span', {class: 'muted', text: ' ' + f.file + ':' + f.line}) : null])]));
      });
      if (rest)
        body.appendChild(el('tr', {class: 'rest'}, [el('td', {class: 'num', text: rest.row.calls}),
          el('td', {class: 'num', text: duration(rest.row.own_us)}), el('td', {class: 'num', text: duration(rest.row.total_us)}),
          el('td', {text: rest.count + ' other functions, not stored one by one'})]));
    }
    fill();
    var note = rest ? rows.length + ' of ' + all + ' functions' : plural(all, 'function', 'functions');
    return section('functions', 'Functions', note + '; click a column to sort',
                   [el('table', {}, [el('thead', {}, [el('tr', {}, heads.concat([el('th', {text: 'Function'})]))]), body])]);
  }

  function events(r) {
    return section('events', 'Events', String(r.events.length),
                   [el('ul', {}, r.events.map(function (e) { return el('li', {text: e}); }))]);
  }

  function superglobals(r) {
    var byName = {}, order = [];
    r.samples.forEach(function (s) {
      if (!byName[s.name]) { byName[s.name] = {}; order.push(s.name); }
      byName[s.name][s.taken] = s;
    });
    var blocks = order.map(function (name) {
      var start = byName[name].start, end = byName[name].end;
      var parsed = {};
      ['start', 'end'].forEach(function (when) {
        var s = byName[name][when];
        if (!s) return;
        try { parsed[when] = unserialize(s.data); } catch (e) { parsed[when] = null; }
      });
      var shown = parsed.end || parsed.start, before = parsed.end && parsed.start;
      var table;
      if (shown && (shown.t === 'array' || shown.t === 'object')) {
        table = shown.entries.length ? kvTable(shown.entries, before ? before.entries : null, 0)
                                     : el('div', {class: 'muted', text: 'empty'});
      } else {
        table = el('div', {class: 'muted', text: 'not readable as a table; the raw text is below'});
      }
      var changes = before ? table.querySelectorAll ? table.querySelectorAll(':scope > tbody > tr.changed, :scope > tbody > tr.added, :scope > tbody > tr.removed').length : 0 : 0;
      var note = start && end ? (changes ? plural(changes, 'change', 'changes') + ' from start to end' : 'the same at start and end')
                              : 'at the ' + (end ? 'end' : 'start');
      var raw = [start, end].filter(Boolean).map(function (s) {
        return el('div', {}, [el('div', {class: 'muted', text: 'at the ' + s.taken}), el('pre', {class: 'raw', text: s.data})]);
      });
      return el('div', {class: 'sg', 'data-name': name}, [el('h3', {}, ['$' + name.replace(/^\$/, '') + ' ', el('small', {text: note})]),
        table, el('details', {class: 'raw'}, [el('summary', {text: 'raw text'})].concat(raw))]);
    });
    return section('superglobals', 'Superglobals', String(order.length), blocks);
  }

  function requestView(r) {
    document.title = 'trel: request ' + r.id + ' \u00b7 ' + r.method + ' ' + r.url;
    var failed = r.failed_queries, db = r.breakdown ? r.breakdown.database_us : 0;
    var cards = el('div', {class: 'cards'}, [
      el('div', {class: 'card'}, [el('b', {text: r.time}), el('span', {text: 'duration'})]),
      el('div', {class: 'card' + (failed ? ' bad' : '')}, [el('b', {text: r.queries + (failed ? ' (' + failed + ' failed)' : '')}), el('span', {text: 'SQL queries' + (r.queries_not_kept ? ', ' + r.queries_not_kept + ' counted, not kept' : '')})]),
      el('div', {class: 'card'}, [el('b', {text: r.time_us > 0 ? (100 * db / r.time_us).toFixed(1) + '%' : '-'}), el('span', {text: 'in the database'})]),
      el('div', {class: 'card' + (r.errors ? ' bad' : '')}, [el('b', {text: r.errors}), el('span', {text: 'errors and warnings' + (r.errors_not_kept ? ', ' + r.errors_not_kept + ' counted, not kept' : '')})]),
      el('div', {class: 'card'}, [el('b', {text: r.memory}), el('span', {text: 'peak memory'})])]);
    var facts = el('dl', {class: 'facts'});
    [['Status', String(r.status)], ['Started', r.start], ['Duration', r.time],
     ['Page id', r.page_id + (r.primary ? ' (primary page)' : ' (a later request of a page)')],
     ['Peak memory', r.memory_of_limit], ['Stored data', r.data_kib + ' KiB']].forEach(function (f) {
      facts.appendChild(el('dt', {text: f[0]}));
      facts.appendChild(el('dd', {text: f[1]}));
    });
    var status = r.status >= 400 ? 'bad' : 'ok';
    return [header('request ' + r.id),
      el('main', {id: 'trel-request', 'data-request-id': r.id}, [
        el('h1', {}, [el('span', {class: 'method', text: r.method}), el('span', {class: 'url', text: r.url}),
                      el('span', {class: 'pill ' + status, text: String(r.status)}),
                      r.primary ? null : el('span', {class: 'pill xhr', text: 'XHR'})]),
        cards, section('facts', 'Request ' + r.id, null, [facts]), breakdown(r), queries(r), errors(r),
        functions(r), superglobals(r), events(r)])];
  }

  function requestsView(d) {
    document.title = 'trel: requests';
    var f = d.filter || {};
    function query(extra) {
      var q = '';
      if (f.url) q += '&trel_url=' + encodeURIComponent(f.url);
      if (f.problems) q += '&trel_problems=1';
      if (f.status) q += '&trel_status=1';
      return q + (extra || '');
    }
    var form = el('form', {class: 'filter', method: 'get', action: live.path}, [
      el('input', {type: 'hidden', name: '__trel_requests', value: '1'}),
      el('label', {}, ['URL contains ', el('input', {type: 'search', name: 'trel_url', value: f.url || '', placeholder: '/checkout'})]),
      el('label', {}, [el('input', {type: 'checkbox', name: 'trel_problems', value: '1', checked: !!f.problems}), ' with errors or failed queries']),
      el('label', {}, [el('input', {type: 'checkbox', name: 'trel_status', value: '1', checked: !!f.status}), ' status \u2265 400']),
      el('button', {type: 'submit', text: 'Filter'})]);
    var rows = d.list.requests;
    var body = el('tbody', {}, rows.map(function (q) {
      return el('tr', {class: 'request', 'data-id': q.id, 'data-page': q.page_id}, [
        el('td', {text: q.start.slice(0, 19)}), el('td', {text: q.method}),
        el('td', {class: 'url'}, [el('a', {href: detailsLink(q.page_id), text: q.url})]),
        el('td', {}, [el('span', {class: 'pill ' + (q.status >= 400 ? 'bad' : 'ok'), text: String(q.status)})]),
        el('td', {class: 'num', text: q.time}),
        el('td', {class: 'num'}, [String(q.queries), q.failed_queries ? el('span', {class: 'pill bad', text: q.failed_queries + ' failed'}) : null]),
        el('td', {class: 'num'}, [q.errors ? el('span', {class: 'pill bad', text: String(q.errors)}) : '0']),
        el('td', {}, [q.primary ? null : el('span', {class: 'pill xhr', text: 'XHR'})])]);
    }));
    var pager = el('div', {class: 'pager'}, [
      d.list.stopped ? el('span', {class: 'stopped', text: 'Looked at 2,000 requests; more may match.'}) : null,
      d.list.newer ? el('a', {href: requestsLink(query('&trel_after=' + d.list.newer_after)), rel: 'prev', text: '\u2190 newer'}) : null,
      d.list.older ? el('a', {href: requestsLink(query('&trel_before=' + d.list.older_before)), rel: 'next', text: 'older \u2192'}) : null]);
    var table = rows.length ? el('table', {class: 'requests'}, [el('thead', {}, [el('tr', {}, [
      el('th', {text: 'Time'}), el('th', {text: 'Method'}), el('th', {text: 'URL'}), el('th', {text: 'Status'}),
      el('th', {class: 'num', text: 'Duration'}), el('th', {class: 'num', text: 'Queries'}), el('th', {class: 'num', text: 'Errors'}),
      el('th', {text: ''})])]), body]) : el('div', {class: 'empty', text: 'No stored request matches.'});
    return [header('the latest requests your token admitted'), el('main', {id: 'trel-requests'}, [
      el('h1', {text: 'Requests'}), form, table, pager])];
  }

  var parts = data.view === 'requests' ? requestsView(data) : requestView(data.request);
  var root = document.getElementById('trel-viewer');
  parts.forEach(function (part) { root.appendChild(part); });
})();
