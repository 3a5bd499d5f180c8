// The live view: one WebSocket to websockify, which bridges it to the
// server's TCP port. The page never reconnects by itself: a student who sees
// "fermée" knows the stream stopped, and chooses when to try again.
(function () {
  'use strict';
  const L = window.Lanquet5;
  const $ = (id) => document.getElementById(id);

  const HISTORY = 600;       // replies kept for the chart
  const RATE_WINDOW_MS = 1000;

  let ws = null;
  let stream = null;
  let received = 0;
  let lastTick = null;
  let arrivals = [];         // arrival times within the rate window
  let replies = [];          // the latest HISTORY replies, oldest first
  let drawPending = false;

  function socketUrl() {
    const asked = new URLSearchParams(location.search).get('ws');
    if (asked) return asked;
    return (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/websockify';
  }

  function setState(code, text) {
    const e = $('etat');
    e.dataset.etat = code;
    e.textContent = text;
    $('reconnecter').hidden = code === 'connexion' || code === 'connecte';
  }

  function clearFigures() {
    received = 0;
    lastTick = null;
    arrivals = [];
    replies = [];
    $('paquets').textContent = '0';
    $('debit').textContent = '0';
    $('tick').textContent = '–';
    $('ecart').textContent = '–';
    for (const cell of $('octets').children) cell.textContent = '··';
    $('occupe').hidden = true;
    $('occupe').textContent = '';
    $('valeur').textContent = '–';
    scheduleDraw();
  }

  function connect() {
    if (ws) {
      ws.onopen = ws.onmessage = ws.onclose = ws.onerror = null;
      ws.close();
    }
    stream = new L.RecordStream();
    clearFigures();
    setState('connexion', 'Connexion…');
    try {
      ws = new WebSocket(socketUrl(), ['binary']);
    } catch (err) {
      ws = null;
      setState('ferme', 'Connexion impossible : ' + err.message);
      return;
    }
    ws.binaryType = 'arraybuffer';
    // websockify takes the WebSocket before it reaches the server: only the
    // first packet shows the server is really there.
    ws.onopen = () => setState('connecte', 'Connecté au relais, en attente des paquets');
    ws.onmessage = (ev) => {
      if (!(ev.data instanceof ArrayBuffer)) return;
      const records = stream.push(new Uint8Array(ev.data));
      if (stream.kind === 'text') {
        showBusy();
        return;
      }
      for (const r of records) onRecord(r);
    };
    ws.onclose = (ev) => {
      ws = null;
      // The text itself is already shown, from the frame that brought it.
      if (stream.kind === 'text') {
        setState('occupe', 'Serveur occupé : connexion fermée par le serveur');
        return;
      }
      const why = ev.reason ? ' (relais : ' + ev.reason + ')' : (ev.code && ev.code !== 1000 ? ' (code ' + ev.code + ')' : '');
      setState('ferme', 'Connexion fermée' + why);
    };
  }

  function showBusy() {
    setState('occupe', 'Serveur occupé');
    const p = $('occupe');
    p.textContent = stream.text;
    p.hidden = false;
  }

  function onRecord(r) {
    const now = performance.now();
    if (++received === 1) setState('connecte', 'Connecté');
    arrivals.push(now);
    $('paquets').textContent = String(received);
    $('tick').textContent = String(r.tick);
    $('ecart').textContent = lastTick === null ? '–' : String(L.tickGap(lastTick, r.tick));
    lastTick = r.tick;
    const cells = $('octets').children;
    for (let i = 0; i < cells.length; ++i) cells[i].textContent = L.hex([r.reply[i]]);
    replies.push(r.reply);
    if (replies.length > HISTORY) replies.splice(0, replies.length - HISTORY);
    $('valeur').textContent = String(L.readValue(r.reply, choice()));
    scheduleDraw();
  }

  function updateRate() {
    const since = performance.now() - RATE_WINDOW_MS;
    while (arrivals.length && arrivals[0] < since) arrivals.shift();
    $('debit').textContent = String(arrivals.length);
  }

  // --- the chart ---------------------------------------------------------

  function choice() {
    const width = Number($('largeur').value);
    return { index: Number($('index').value), width: width, order: $('ordre').value };
  }

  function fillIndexChoices() {
    const sel = $('index');
    const width = Number($('largeur').value);
    const keep = Number(sel.value) || 0;
    sel.textContent = '';
    for (let i = 0; i + width <= L.REPLY_LEN; ++i) {
      const o = document.createElement('option');
      o.value = String(i);
      o.textContent = width === 2 ? i + '-' + (i + 1) : String(i);
      sel.appendChild(o);
    }
    sel.value = String(Math.min(keep, L.REPLY_LEN - width));
    $('ordre').disabled = width !== 2;
  }

  function onChoiceChanged(fromPreset) {
    if (!fromPreset) $('modele').value = '';
    const last = replies[replies.length - 1];
    $('valeur').textContent = last ? String(L.readValue(last, choice())) : '–';
    scheduleDraw();
  }

  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    requestAnimationFrame(() => { drawPending = false; draw(); });
  }

  function draw() {
    const c = $('courbe');
    const g = c.getContext('2d');
    g.clearRect(0, 0, c.width, c.height);
    if (replies.length === 0) {
      $('bornes').textContent = '';
      return;
    }
    const ch = choice();
    const values = replies.map((r) => L.readValue(r, ch));
    let lo = Math.min(...values), hi = Math.max(...values);
    if (lo === hi) { lo -= 1; hi += 1; }
    $('bornes').textContent = '(de ' + Math.min(...values) + ' à ' + Math.max(...values) + ' sur la courbe)';
    const pad = 8;
    const x = (i) => c.width - pad - (values.length - 1 - i) * (c.width - 2 * pad) / (HISTORY - 1);
    const y = (v) => c.height - pad - (v - lo) * (c.height - 2 * pad) / (hi - lo);
    g.strokeStyle = '#1f5fa8';
    g.lineWidth = 1.5;
    g.beginPath();
    values.forEach((v, i) => (i ? g.lineTo(x(i), y(v)) : g.moveTo(x(i), y(v))));
    g.stroke();
  }

  // --- set-up ------------------------------------------------------------

  function build() {
    const head = $('rangs'), row = $('octets');
    for (let i = 0; i < L.REPLY_LEN; ++i) {
      const th = document.createElement('th');
      th.textContent = String(i);
      head.appendChild(th);
      row.appendChild(document.createElement('td'));
    }
    const presetSel = $('modele');
    L.presets.forEach((p, n) => {
      const o = document.createElement('option');
      o.value = String(n);
      o.textContent = p.label;
      presetSel.appendChild(o);
    });
    presetSel.addEventListener('change', () => {
      const p = L.presets[Number(presetSel.value)];
      if (!presetSel.value || !p) return;
      $('largeur').value = String(p.width);
      fillIndexChoices();
      $('index').value = String(p.index);
      $('ordre').value = p.order;
      onChoiceChanged(true);
    });
    $('largeur').addEventListener('change', () => { fillIndexChoices(); onChoiceChanged(false); });
    $('index').addEventListener('change', () => onChoiceChanged(false));
    $('ordre').addEventListener('change', () => onChoiceChanged(false));
    $('reconnecter').addEventListener('click', connect);
    // The first channel is what most lab sessions look at first.
    presetSel.value = '1';
    presetSel.dispatchEvent(new Event('change'));
    setInterval(updateRate, 250);
  }

  build();
  connect();
})();
