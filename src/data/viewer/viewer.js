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
    if (live && data.view === 'request') {
      nav.appendChild(el('a', {href: link('__trel_compare=' + encodeURIComponent(data.request.page_id)),
                               'data-trel-link': 'compare', text: 'Compare'}));
      nav.appendChild(el('a', {href: link('__trel_json=' + encodeURIComponent(data.request.page_id)),
                               text: 'JSON'}));
    }
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

  // Statements of one shape run this often or more are likely a query in a loop.
  var LoopRuns = 5;

  // The statement with its literals (quoted strings, numbers, lists of them) replaced by
  // "?": SQL built as strings has the shape of the prepared statement it stands for.
  function shape(sql) {
    return sql.replace(/'(?:[^'\\]|\\.|'')*'|"(?:[^"\\]|\\.|"")*"|\b0x[0-9a-f]+\b|\b\d+(?:\.\d+)?(?:e[+-]?\d+)?\b/gi, '?')
      .replace(/\(\s*\?(?:\s*,\s*\?)*\s*\)/g, '(?)').replace(/\s+/g, ' ').trim();
  }

  var Keywords = /^(?:SELECT|FROM|WHERE|AND|OR|ORDER BY|GROUP BY|HAVING|LIMIT|OFFSET|VALUES|SET|UNION(?: ALL)?|(?:LEFT |RIGHT |INNER |CROSS |FULL )?(?:OUTER )?JOIN|ON|INSERT INTO|UPDATE|DELETE FROM|RETURNING)$/i;
  // The statement with its white space collapsed and each clause on a line of its own;
  // quoted texts are kept as they are.
  function formatSql(sql) {
    var parts = sql.match(/'(?:[^'\\]|\\.|'')*'?|"(?:[^"\\]|\\.|"")*"?|`[^`]*`?|\s+|[^\s'"`]+/g) || [];
    var out = '', depth = 0, words = [];
    function flush() {
      words.forEach(function (w) { out += w; });
      words = [];
    }
    for (var i = 0; i < parts.length; i++) {
      var p = parts[i];
      if (/^\s+$/.test(p)) { words.push(' '); continue; }
      var two = p + (parts[i + 2] ? ' ' + parts[i + 2] : ''), three = two + (parts[i + 4] ? ' ' + parts[i + 4] : '');
      var kw = depth === 0 && [three, two, p].filter(function (w) { return Keywords.test(w); })[0];
      if (kw && out + words.join('') !== '') {
        while (words.length && words[words.length - 1] === ' ') words.pop();
        flush();
        out += '\n' + (/^(?:AND|OR|ON)$/i.test(kw) ? '  ' : '');
      } else {
        flush();
      }
      out += p;
      depth += (p.match(/\(/g) || []).length - (p.match(/\)/g) || []).length;
      if (depth < 0) depth = 0;
    }
    flush();
    return out.replace(/[ \t]+\n/g, '\n').trim();
  }

  // The frames of a backtrace as PHP writes them, innermost first: {file, line, call}.
  function frames(text) {
    var list = [];
    (text || '').split('\n').forEach(function (line) {
      var m = /^#\d+ (.+)\((\d+)\): (.*)$/.exec(line);
      if (m) list.push({file: m[1], line: +m[2], call: m[3]});
    });
    return list;
  }
  // The code that only passes SQL on to the database: the files where most of the
  // page's queries are run from, with frames further out (a database class, a query
  // builder, a subclass of PDO). Each query's caller is its first frame outside them;
  // a query run straight from the page is its own caller.
  function callers(list) {
    var byFile = {}, counted = 0;
    list.forEach(function (q) {
      if (!q.file || /^\d+ more queries not kept$/.test(q.statement)) return;
      counted++;
      var outside = frames(q.backtrace).some(function (f) { return f.file !== q.file; });
      var n = byFile[q.file] || (byFile[q.file] = {all: 0, through: 0});
      n.all++;
      if (outside) n.through++;
    });
    var layer = {};
    Object.keys(byFile).forEach(function (file) {
      if (counted >= 2 && byFile[file].all * 2 >= counted && byFile[file].through * 2 >= byFile[file].all) layer[file] = true;
    });
    return list.map(function (q) {
      if (!layer[q.file]) return null;
      var outer = frames(q.backtrace).filter(function (f) { return !layer[f.file]; })[0];
      return outer ? {file: outer.file, line: outer.line} : null;
    });
  }

  // Each query's anchor: the entry of its statement, shown once however often it ran.
  function anchorQueries(list) {
    var first = Object.create(null);
    list.forEach(function (q, i) {
      if (!(q.statement in first)) first[q.statement] = i;
      q.anchor = 'query-' + first[q.statement];
    });
  }

  function copyButton(text) {
    return el('button', {type: 'button', class: 'copy', title: 'copy the statement', text: 'copy', onclick: function (event) {
      var button = event.currentTarget, area = el('textarea', {class: 'clip'});
      area.value = text;
      document.body.appendChild(area);
      area.select();
      var done = false;
      try { done = document.execCommand('copy'); } catch (e) {}
      area.remove();
      if (!done && navigator.clipboard) navigator.clipboard.writeText(text).catch(function () {});
      button.textContent = 'copied';
    }});
  }

  function queries(r) {
    var list = r.query_list, loops = Object.create(null), groups = [], byText = Object.create(null), slow = r.slow_query_us || 100000;
    var caller = callers(list);
    anchorQueries(list);
    list.forEach(function (q, i) {
      var key = shape(q.prepared || q.statement), at = caller[i] || {file: q.file, line: q.line};
      var loop = loops[key] || (loops[key] = {text: key, count: 0, total: 0, at: {}});
      loop.count++;
      loop.total += q.time_us;
      if (at.file) loop.at[at.file + ':' + at.line] = (loop.at[at.file + ':' + at.line] || 0) + 1;
      var group = byText[q.statement];
      if (!group) { group = byText[q.statement] = {first: q, count: 0, total: 0, failed: 0, caller: caller[i]}; groups.push(group); }
      group.count++;
      group.total += q.time_us;
      if (q.failed) group.failed++;
    });
    var flagged = Object.keys(loops).map(function (k) { return loops[k]; })
      .filter(function (loop) { return loop.count >= LoopRuns; })
      .sort(function (a, b) { return b.total - a.total; });
    var children = [];
    var slowCount = list.filter(function (q) { return q.time_us >= slow; }).length;
    if (flagged.length) {
      children.push(el('div', {class: 'alert', id: 'query-loops'}, [el('h3', {text: 'Likely queries in a loop'}),
        el('ul', {}, flagged.map(function (loop) {
          var at = Object.keys(loop.at).sort(function (a, b) { return loop.at[b] - loop.at[a]; })[0];
          return el('li', {class: 'loop', 'data-count': loop.count, 'data-us': loop.total, 'data-at': at || null},
                    [el('b', {text: loop.count + '\u00d7'}), ' ', el('code', {text: loop.text}),
                     ' ', el('span', {class: 'muted', text: 'in all ' + duration(loop.total) + (at ? ', from ' + at : '')})]);
        }))]));
    }
    var filter = el('input', {type: 'search', id: 'query-filter', placeholder: 'filter the queries', 'aria-label': 'filter the queries'});
    var ol = el('ol', {class: 'queries'});
    filter.addEventListener('input', function () {
      var words = filter.value.toLowerCase();
      Array.prototype.forEach.call(ol.children, function (li) {
        li.hidden = words !== '' && li.getAttribute('data-text').indexOf(words) < 0;
      });
    });
    children.push(el('div', {class: 'tools'}, [filter]));
    groups.forEach(function (group) {
      var q = group.first, loop = loops[shape(q.prepared || q.statement)].count >= LoopRuns, isSlow = q.time_us >= slow;
      var head = el('div', {class: 'head'}, [el('span', {class: 'time', text: duration(q.time_us)}),
        isSlow ? el('span', {class: 'pill bad slow', text: 'slow'}) : null,
        group.count > 1 ? el('span', {class: 'pill warn', 'data-count': group.count,
                                      text: group.count + '\u00d7 identical, ' + duration(group.total) + ' in all'}) : null,
        q.failed ? el('span', {class: 'outcome failed', text: 'failed ' + q.status + ': ' + q.error})
                 : el('span', {class: 'outcome ok', text: 'ok'}),
        el('span', {class: 'rows', text: plural(q.rows, 'row', 'rows')}),
        el('span', {class: 'transaction', text: q.transaction ? 'transaction ' + q.transaction : 'no transaction'}),
        loop ? el('span', {class: 'pill warn', text: 'in a loop?'}) : null, copyButton(q.statement)]);
      var at = group.caller;
      ol.appendChild(el('li', {class: 'query' + (q.failed ? ' failed' : '') + (loop ? ' loop' : '') + (isSlow ? ' slow' : ''),
                               id: q.anchor, 'data-us': q.time_us, 'data-status': q.status, 'data-count': group.count,
                               'data-text': q.statement.toLowerCase()}, [
        head, el('pre', {class: 'sql', text: formatSql(q.statement)}),
        q.prepared && q.prepared !== q.statement ? el('div', {class: 'where', text: 'prepared: ' + q.prepared}) : null,
        at ? el('div', {class: 'where caller', text: 'at ' + at.file + ':' + at.line}) : where(q.file, q.line),
        at ? el('details', {class: 'layer'}, [el('summary', {text: 'in the database layer'}),
                                              el('div', {class: 'where', text: 'at ' + q.file + ':' + q.line})]) : null,
        backtrace(q.backtrace)]));
    });
    children.push(ol);
    var failed = list.filter(function (q) { return q.failed; }).length;
    var db = r.breakdown ? r.breakdown.database_us : list.reduce(function (s, q) { return s + q.time_us; }, 0);
    var note = list.length + ', ' + groups.length + ' distinct, slowest first' + (failed ? ', ' + failed + ' failed' : '') +
               (slowCount ? ', ' + slowCount + ' slow (' + duration(slow) + ' or more)' : '') +
               (r.time_us > 0 ? '; the database took ' + (100 * db / r.time_us).toFixed(1) + '% of the request' : '');
    return section('queries', 'SQL queries', note, children);
  }

  function exception(x) {
    return el('div', {class: 'exception'}, [
      el('div', {class: 'head'}, [el('span', {class: 'type', text: 'uncaught ' + x['class']})]),
      el('pre', {class: 'message', text: x.message}), where(x.file, x.line),
      el('ol', {class: 'trace', start: 0}, (x.trace || []).map(function (f) {
        return el('li', {}, [el('code', {text: f.call}), f.file ? el('span', {class: 'muted', text: ' ' + f.file + ':' + f.line}) : null]);
      }))]);
  }

  function errors(r) {
    var ul = el('ul', {class: 'entries'}, r.error_list.map(function (e, i) {
      return el('li', {class: 'entry' + (e.severe ? ' severe' : ''), id: 'error-' + i, 'data-type': e.type}, [
        el('div', {class: 'head'}, [el('span', {class: 'type', text: e.type}),
                                    e.silenced ? el('span', {class: 'muted', text: 'silenced with @'}) : null]),
        e.exception ? exception(e.exception) : el('pre', {class: 'message', text: e.message}),
        el('div', {class: 'where', text: 'at ' + e.file + ':' + e.line + ', ' + e.time}),
        e.exception ? el('details', {}, [el('summary', {text: 'the message as PHP reported it'}), el('pre', {text: e.message})]) : null,
        backtrace(e.backtrace)]);
    }));
    var logs = r.log_messages || [];
    var log = logs.length ? [el('h3', {text: 'PHP log'}), el('ul', {class: 'entries', id: 'log'}, logs.map(function (m, i) {
      return el('li', {class: 'entry log', id: 'log-' + i}, [el('pre', {class: 'message', text: m.message}),
        m.start_us >= 0 ? el('div', {class: 'where', text: 'at ' + duration(m.start_us) + ' into the request'}) : null]);
    }))] : [];
    return section('errors', 'Errors and warnings', r.errors + (logs.length ? ', ' + plural(logs.length, 'log message', 'log messages') : ''),
                   [ul].concat(log));
  }

  // The request on one axis: its queries, errors, costliest calls and log messages at
  // their start, and the page's later calls (from the token's list) after it.
  function timeline(r, calls) {
    var slow = r.slow_query_us || 100000, lanes = [], end = Math.max(r.time_us, 1);
    function lane(name, title, items) {
      items = items.filter(function (item) { return item.start >= 0; });
      items.forEach(function (item) { end = Math.max(end, item.start + (item.length || 0)); });
      if (items.length) lanes.push({name: name, title: title, items: items});
    }
    lane('query', 'SQL', r.query_list.map(function (q) {
      return {start: q.start_us, length: q.time_us, text: duration(q.time_us) + ' \u00b7 ' + q.statement,
              href: '#' + q.anchor, bad: q.failed || q.time_us >= slow};
    }));
    lane('error', 'Errors', r.error_list.map(function (e, i) {
      return {start: e.start_us, text: e.type + ': ' + (e.exception ? e.exception['class'] + ': ' + e.exception.message : e.message),
              href: '#error-' + i, bad: true};
    }).concat((r.log_messages || []).map(function (m, i) {
      return {start: m.start_us, text: 'log: ' + m.message, href: '#log-' + i};
    })));
    lane('span', 'Functions', (r.spans || []).map(function (f) {
      return {start: f.start_us, length: f.time_us, text: f.name + ' \u00b7 ' + duration(f.time_us), href: '#functions'};
    }));
    lane('xhr', 'Later calls', calls.map(function (c) {
      return {start: (c.start_ms - r.start_ms) * 1000, length: c.time_us, text: c.method + ' ' + pathOf(c.url) + ' ' + c.status +
              ' \u00b7 ' + c.time, href: detailsLink(c.page_id), bad: c.status >= 400};
    }));
    if (!lanes.length) return null;
    var rows = lanes.map(function (l) {
      return el('div', {class: 'lane', 'data-lane': l.name}, [el('span', {class: 'label', text: l.title}),
        el('div', {class: 'track'}, l.items.sort(function (a, b) { return a.start - b.start; }).map(function (item) {
          var left = 100 * item.start / end, width = Math.min(Math.max(100 * (item.length || 0) / end, 0.4), 100 - left);
          return el('a', {class: 'item' + (item.bad ? ' bad' : ''), href: item.href, title: item.text, 'data-us': item.start,
                          'data-kind': l.name, style: 'left:min(' + left.toFixed(3) + '%, 100% - 3px);width:' + width.toFixed(3) + '%'});
        }))]);
    });
    // With later calls the request's end gets a line of its own under the axis, on the
    // side where its label fits, so it never covers the axis' own labels.
    var later = end > r.time_us, at = 100 * r.time_us / end, marker = 'request ends ' + duration(r.time_us);
    var axis = el('div', {class: 'axis' + (later ? ' later' : '')}, [el('span', {text: '0'}),
      !later ? el('span', {style: 'right:0', text: duration(r.time_us)})
        : at <= 50 ? el('span', {class: 'end', style: 'left:' + at.toFixed(3) + '%', text: '\u2502 ' + marker})
        : el('span', {class: 'end', style: 'right:' + (100 - at).toFixed(3) + '%', text: marker + ' \u2502'}),
      later ? el('span', {style: 'right:0', text: duration(Math.round(end))}) : null]);
    return section('timeline', 'Timeline', 'hover an item to see it, click to go to it', [el('div', {class: 'lanes'}, rows.concat([axis]))]);
  }

  function headers(r) {
    if (!r.response_headers || !r.response_headers.length) return null;
    return section('headers', 'Response headers', String(r.response_headers.length), [el('div', {class: 'scroll'}, [
      el('table', {class: 'kv'}, [el('tbody', {}, r.response_headers.map(function (h) {
        return el('tr', {'data-key': h[0]}, [el('td', {class: 'key', text: h[0]}), el('td', {class: 'val', text: h[1]})]);
      }))])])]);
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
                   [el('div', {class: 'scroll'}, [el('table', {}, [el('thead', {}, [el('tr', {}, heads.concat([el('th', {text: 'Function'})]))]), body])])]);
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

  // A call the browser made from a script; rows stored before this was known count as
  // one when they were not the page itself.
  function isXhr(q) { return q.xhr !== undefined && q.xhr !== null ? q.xhr : !q.primary; }

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
    var status = r.status >= 400 ? 'bad' : 'ok', from = r.redirected_from;
    // The page's later calls: the token's requests that name this page as their referrer
    // and started after it, before the page's next request of its own.
    anchorQueries(r.query_list);
    var calls = [], rows = data.list ? data.list.requests.slice().sort(function (a, b) { return a.start_ms - b.start_ms; }) : [];
    for (var i = 0; i < rows.length; i++) {
      var c = rows[i];
      if (c.page_id === r.page_id || c.start_ms < r.start_ms) continue;
      if (c.referer === r.url && (c.xhr || (c.xhr === undefined && !c.primary))) calls.push(c);
      else if (c.primary && !c.xhr && c.url === r.url) break;
    }
    var main = el('main', {id: 'trel-request', 'data-request-id': r.id}, [
        el('h1', {}, [el('span', {class: 'method', text: r.method}), el('span', {class: 'url', text: r.url}),
                      el('span', {class: 'pill ' + status, 'data-trel': 'status', text: String(r.status)}),
                      isXhr(r) ? el('span', {class: 'pill xhr', text: 'XHR'}) : null]),
        from ? el('p', {class: 'redirect', id: 'redirected-from'}, ['Reached by a redirect from ',
          el('a', {href: detailsLink(from.page_id), text: from.method + ' ' + pathOf(from.url)}), ' ',
          el('span', {class: 'pill warn', text: String(from.status)})]) : null,
        cards, section('facts', 'Request ' + r.id, null, [facts]), timeline(r, calls), breakdown(r), queries(r), errors(r),
        functions(r), headers(r), superglobals(r), events(r)]);
    return [header('request ' + r.id), main];
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
    // A page's calls go under it: the rows that name a page shown in the list as their
    // referrer and came after it.
    var rows = d.list.requests, groups = [], pages = [];
    rows.slice().sort(function (a, b) { return a.start_ms - b.start_ms || a.id - b.id; }).forEach(function (q) {
      var parent = null;
      if (isXhr(q) && q.referer)
        for (var i = pages.length - 1; i >= 0 && !parent; i--)
          if (pages[i].row.url === q.referer && pages[i].row.start_ms <= q.start_ms) parent = pages[i];
      if (parent) { parent.calls.push(q); return; }
      var group = {row: q, calls: []};
      groups.push(group);
      if (!isXhr(q)) pages.push(group);
    });
    function row(q, child) {
      return el('tr', {class: 'request' + (child ? ' call' : ''), 'data-id': q.id, 'data-page': q.page_id}, [
        el('td', {}, [el('span', {class: 'date', text: q.start.slice(0, 11)}), q.start.slice(11, 19)]), el('td', {text: q.method}),
        el('td', {class: 'url'}, [child ? el('span', {class: 'muted', text: '\u21b3 '}) : null,
                                  el('a', {href: detailsLink(q.page_id), title: q.url, text: pathOf(q.url)})]),
        el('td', {}, [el('span', {class: 'pill ' + (q.status >= 400 ? 'bad' : 'ok'), text: String(q.status)})]),
        el('td', {class: 'num', text: q.time}),
        el('td', {class: 'num'}, [String(q.queries), q.failed_queries ? el('span', {class: 'pill bad', text: q.failed_queries + ' failed'}) : null]),
        el('td', {class: 'num'}, [q.errors ? el('span', {class: 'pill bad', text: String(q.errors)}) : '0']),
        el('td', {}, [isXhr(q) ? el('span', {class: 'pill xhr', text: 'XHR'}) : null])]);
    }
    var body = el('tbody'), sortBy = 'start_ms';
    function fill() {
      heads.forEach(function (h) { if (h.getAttribute('data-sort')) h.classList.toggle('sorted', h.getAttribute('data-sort') === sortBy); });
      groups.sort(function (a, b) { return b.row[sortBy] - a.row[sortBy] || b.row.id - a.row.id; });
      body.textContent = '';
      groups.forEach(function (g) {
        body.appendChild(row(g.row, false));
        g.calls.forEach(function (c) { body.appendChild(row(c, true)); });
      });
    }
    var heads = [el('th', {'data-sort': 'start_ms', text: 'Time'}), el('th', {text: 'Method'}), el('th', {text: 'URL'}), el('th', {text: 'Status'}),
      el('th', {class: 'num', 'data-sort': 'time_us', text: 'Duration'}), el('th', {class: 'num', 'data-sort': 'queries', text: 'Queries'}),
      el('th', {class: 'num', text: 'Errors'}), el('th', {text: ''})];
    heads.forEach(function (h) {
      if (h.getAttribute('data-sort')) h.addEventListener('click', function () { sortBy = h.getAttribute('data-sort'); fill(); });
    });
    fill();
    var pager = el('div', {class: 'pager'}, [
      d.list.stopped ? el('span', {class: 'stopped', text: 'Looked at 2,000 requests; more may match.'}) : null,
      d.list.newer ? el('a', {href: requestsLink(query('&trel_after=' + d.list.newer_after)), rel: 'prev', text: '\u2190 newer'}) : null,
      d.list.older ? el('a', {href: requestsLink(query('&trel_before=' + d.list.older_before)), rel: 'next', text: 'older \u2192'}) : null]);
    var table = rows.length ? el('div', {class: 'scroll'}, [el('table', {class: 'requests'}, [el('thead', {}, [el('tr', {}, heads)]), body])])
                            : el('div', {class: 'empty', text: 'No stored request matches.'});
    return [header('the latest requests your token admitted'), el('main', {id: 'trel-requests'}, [
      el('h1', {text: 'Requests'}), form, table, pager])];
  }

  // Two requests side by side: what changed from the other (B) to this one (A).
  function compareView(d) {
    var a = d.request, b = d.other || null;
    document.title = 'trel: compare request ' + a.id + (b ? ' with ' + b.id : '');
    var picker = el('select', {id: 'compare-with', 'aria-label': 'compare with'}, [el('option', {value: '', text: 'choose a request\u2026'})]
      .concat((d.list ? d.list.requests : []).filter(function (q) { return q.page_id !== a.page_id; }).map(function (q) {
        return el('option', {value: q.page_id, selected: b && q.page_id === b.page_id,
                             text: q.start.slice(11, 19) + ' ' + q.method + ' ' + pathOf(q.url) + ' ' + q.status + ' ' + q.time});
      })));
    picker.addEventListener('change', function () {
      if (picker.value) location.href = link('__trel_compare=' + encodeURIComponent(a.page_id) + '&trel_with=' + encodeURIComponent(picker.value));
    });
    var intro = el('p', {class: 'pick'}, ['Request ', el('a', {href: detailsLink(a.page_id), text: a.id + ' (' + a.method + ' ' + pathOf(a.url) + ')'}),
                                          ' compared with ', picker]);
    if (!b) return [header('compare'), el('main', {id: 'trel-compare'}, [el('h1', {text: 'Compare'}), intro,
      el('div', {class: 'empty', text: 'No earlier request of this URL is stored: choose one to compare with.'})])];

    function delta(x, y, fmt) {
      var diff = x - y;
      return el('span', {class: 'delta ' + (diff > 0 ? 'up' : diff < 0 ? 'down' : ''), text: (diff > 0 ? '+' : diff < 0 ? '\u2212' : '\u00b1') + fmt(Math.abs(diff))});
    }
    function bytes(n) { return n < 1024 ? n + ' B' : n < 1048576 ? (n / 1024).toFixed(1) + ' KiB' : (n / 1048576).toFixed(2) + ' MiB'; }
    var figures = el('div', {class: 'scroll'}, [el('table', {class: 'compare', id: 'compare-figures'}, [
      el('thead', {}, [el('tr', {}, [el('th', {text: ''}), el('th', {class: 'num', text: 'this (' + a.id + ')'}),
                                     el('th', {class: 'num', text: 'other (' + b.id + ')'}), el('th', {class: 'num', text: 'change'})])]),
      el('tbody', {}, [['time', 'Duration', a.time_us, b.time_us, duration], ['memory', 'Peak memory', a.peak_memory, b.peak_memory, bytes],
                       ['queries', 'Queries', a.queries, b.queries, String], ['errors', 'Errors', a.errors, b.errors, String]].map(function (f) {
        return el('tr', {'data-key': f[0]}, [el('th', {text: f[1]}), el('td', {class: 'num', text: f[4](f[2])}),
                                            el('td', {class: 'num', text: f[4](f[3])}), el('td', {class: 'num'}, [delta(f[2], f[3], f[4])])]);
      }))])]);

    function counts(r) {
      var byShape = Object.create(null);
      r.query_list.forEach(function (q) {
        if (/^\d+ more queries not kept$/.test(q.statement)) return;
        var k = shape(q.prepared || q.statement), c = byShape[k] || (byShape[k] = {count: 0, total: 0});
        c.count++;
        c.total += q.time_us;
      });
      return byShape;
    }
    var qa = counts(a), qb = counts(b), changes = [];
    Object.keys(qa).forEach(function (k) {
      if (!qb[k]) changes.push(['added', k, qa[k].count, 0]);
      else if (qa[k].count > qb[k].count) changes.push(['more', k, qa[k].count, qb[k].count]);
      else if (qa[k].count < qb[k].count) changes.push(['fewer', k, qa[k].count, qb[k].count]);
    });
    Object.keys(qb).forEach(function (k) { if (!qa[k]) changes.push(['removed', k, 0, qb[k].count]); });
    var Said = {added: 'added', removed: 'removed', more: 'runs more often', fewer: 'runs less often'};
    var queryList = changes.length ? el('ul', {class: 'entries', id: 'compare-queries'}, changes.map(function (c) {
      return el('li', {class: 'entry change-' + c[0], 'data-change': c[0]}, [el('div', {class: 'head'}, [
        el('span', {class: 'pill ' + (c[0] === 'removed' || c[0] === 'fewer' ? 'ok' : 'warn'), text: Said[c[0]]}),
        el('span', {text: c[3] + '\u00d7 \u2192 ' + c[2] + '\u00d7'})]), el('pre', {class: 'sql', text: c[1]})]);
    })) : el('div', {class: 'empty', text: 'The same queries, as often.'});

    function own(r) {
      var m = Object.create(null);
      r.functions.forEach(function (f) { m[f.name] = f.own_us; });
      return m;
    }
    var fa = own(a), fb = own(b), moved = [];
    Object.keys(fa).concat(Object.keys(fb).filter(function (k) { return !(k in fa); })).forEach(function (k) {
      if (/^\(\d+ (?:other|more) functions?\)$/.test(k)) return;
      var diff = (fa[k] || 0) - (fb[k] || 0);
      if (diff) moved.push([k, fa[k] || 0, fb[k] || 0, diff]);
    });
    moved.sort(function (x, y) { return Math.abs(y[3]) - Math.abs(x[3]); });
    var functionTable = moved.length ? el('div', {class: 'scroll'}, [el('table', {id: 'compare-functions'}, [el('thead', {}, [el('tr', {}, [
      el('th', {text: 'Function'}), el('th', {class: 'num', text: 'own time, this'}), el('th', {class: 'num', text: 'other'}),
      el('th', {class: 'num', text: 'change'})])]), el('tbody', {}, moved.slice(0, 15).map(function (f) {
        return el('tr', {'data-key': f[0]}, [el('td', {text: f[0]}), el('td', {class: 'num', text: duration(f[1])}),
                                            el('td', {class: 'num', text: duration(f[2])}), el('td', {class: 'num'}, [delta(f[1], f[2], duration)])]);
      }))])]) : el('div', {class: 'empty', text: 'No function statistics differ (or none were collected).'});

    function samples(r) {
      var m = {};
      r.samples.forEach(function (smp) {
        if (smp.taken !== 'end' && m[smp.name]) return;
        try { var v = unserialize(smp.data); if (v.entries) m[smp.name] = v.entries; } catch (e) {}
      });
      return m;
    }
    var sa = samples(a), sb = samples(b), diffs = [];
    Object.keys(sa).concat(Object.keys(sb).filter(function (k) { return !(k in sa); })).forEach(function (name) {
      var ea = {}, eb = {};
      (sa[name] || []).forEach(function (e) { ea[e[0]] = e[1]; });
      (sb[name] || []).forEach(function (e) { eb[e[0]] = e[1]; });
      Object.keys(ea).concat(Object.keys(eb).filter(function (k) { return !(k in ea); })).forEach(function (key) {
        if (!same(ea[key], eb[key])) diffs.push([name, key, ea[key], eb[key]]);
      });
    });
    var sampleTable = diffs.length ? el('div', {class: 'scroll'}, [el('table', {class: 'kv', id: 'compare-superglobals'}, [el('thead', {}, [el('tr', {}, [
      el('th', {text: 'Entry'}), el('th', {text: 'this'}), el('th', {text: 'other'})])]), el('tbody', {}, diffs.map(function (e) {
        var absent = el('span', {class: 'type', text: 'absent'});
        var name = '$' + e[0].replace(/^\$/, '') + '[' + e[1] + ']';
        return el('tr', {'data-key': name}, [el('td', {class: 'key', text: name}),
          el('td', {class: 'val'}, [e[2] ? valueCell(e[2], 0) : absent]), el('td', {class: 'val'}, [e[3] ? valueCell(e[3], 0) : absent.cloneNode(true)])]);
      }))])]) : el('div', {class: 'empty', text: 'The superglobals hold the same entries.'});

    return [header('compare'), el('main', {id: 'trel-compare', 'data-request-id': a.id, 'data-other-id': b.id}, [
      el('h1', {text: 'Compare'}), intro, figures,
      section('compare-q', 'Queries', plural(changes.length, 'change', 'changes') + ', by their shape', [queryList]),
      section('compare-f', 'Functions whose own time moved most', null, [functionTable]),
      section('compare-s', 'Superglobal entries that differ', String(diffs.length), [sampleTable])])];
  }

  var parts = data.view === 'requests' ? requestsView(data) : data.view === 'compare' ? compareView(data) : requestView(data.request);
  var root = document.getElementById('trel-viewer');
  parts.forEach(function (part) { root.appendChild(part); });
})();
