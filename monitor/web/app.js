// The monitor's page: the job table and the selected job's plots and reports, kept up to
// date by the server's events. Every text from a job goes in as text, never as markup.
'use strict';

const page = {
  selected: null,       // id of the selected job
  selectedLabel: null,
  charts: {},           // field name -> Chart
  events: null,
  table: null,
  killTarget: null,
  tableEvents: 0,       // for tests: how many table events arrived
};
window.monitorPage = page;

function element(tag, text, className) {
  const made = document.createElement(tag);
  if (text !== undefined && text !== null) made.textContent = String(text);
  if (className) made.className = className;
  return made;
}

// Rows are kept and only their texts change, so that a click is never lost to a row that
// was replaced under the pointer.
const rows = new Map();  // job id -> row

function setText(cell, text) {
  const shown = text === undefined || text === null ? '' : String(text);
  if (cell.textContent !== shown) cell.textContent = shown;
}

function makeRow(job) {
  const row = element('tr');
  row.dataset.job = job.job;
  row.dataset.id = job.id;
  for (const name of ['job', 'state', 'phase', 'progress', 'rate', 'eta', 'elapsed', 'last',
                      'errors', 'warnings', 'message', 'action'])
    row.appendChild(element('td', null, name));
  const progress = row.querySelector('td.progress');
  progress.textContent = '';
  const bar = element('span', null, 'bar');
  bar.appendChild(element('span'));
  progress.appendChild(bar);
  progress.appendChild(element('span', null, 'progress-text'));
  const button = element('button', 'Kill', 'kill');
  button.type = 'button';
  button.addEventListener('click', (event) => {
    event.stopPropagation();
    askKill(Number(row.dataset.id), row.dataset.job);
  });
  row.querySelector('td.action').appendChild(button);
  row.addEventListener('click', () => select(Number(row.dataset.id), row.dataset.job));
  return row;
}

function updateRow(row, job) {
  const cells = row.cells;
  setText(cells[0], job.job);
  setText(cells[1], job.state);
  cells[1].className = 'state state-' + job.state;
  setText(cells[2], job.phase);
  const percent = job.percent === null ? 0 : Math.min(100, job.percent);
  cells[3].querySelector('.bar > span').style.width = percent + '%';
  // The cell's own text is what a reader (and a test) sees: the step and the percent.
  setText(cells[3].querySelector('.progress-text'), job.progress);
  setText(cells[4], job.rate);
  setText(cells[5], job.eta);
  setText(cells[6], job.elapsed);
  setText(cells[7], job.last);
  setText(cells[8], job.errors);
  cells[8].className = 'errors-count' + (job.errors > 0 ? ' errors' : '');
  setText(cells[9], job.warnings);
  cells[9].className = 'warnings-count' + (job.warnings > 0 ? ' warnings' : '');
  setText(cells[10], job.final || job.message);
  cells[10].className = 'message';
  cells[11].querySelector('button').hidden =
      !(job.connected && ['running', 'silent'].includes(job.state));
  row.classList.toggle('selected', job.id === page.selected);
}

function renderTable(table) {
  page.table = table;
  setText(document.getElementById('title'), table.title);
  setText(document.getElementById('counts'), table.counts);
  const body = document.querySelector('#jobs tbody');
  const present = new Set();
  let previous = null;
  for (const job of table.jobs) {
    present.add(job.id);
    let row = rows.get(job.id);
    if (!row) {
      row = makeRow(job);
      rows.set(job.id, row);
    }
    updateRow(row, job);
    const expected = previous ? previous.nextSibling : body.firstChild;
    if (expected !== row) body.insertBefore(row, expected);
    previous = row;
  }
  for (const [id, row] of rows) {
    if (!present.has(id)) {
      row.remove();
      rows.delete(id);
    }
  }
  document.getElementById('empty').hidden = table.jobs.length > 0;
  const notes = document.getElementById('notes');
  notes.replaceChildren(...table.notes.slice().reverse().map(
    (note) => element('li', note.time + '  ' + note.text)));
}

function fieldsText(fields) {
  return Object.entries(fields).map(([key, value]) => key + '=' + JSON.stringify(value)).join('  ');
}

function allPositive(points) {
  return points.length > 0 && points.every((point) => point[1] > 0);
}

function renderPlot(series) {
  const logScale = series.log && allPositive(series.points);
  const data = series.points.map((point) => ({x: point[0], y: point[1]}));
  let chart = page.charts[series.name];
  if (chart && chart.options.scales.y.type !== (logScale ? 'logarithmic' : 'linear')) {
    chart.destroy();
    chart.canvas.parentNode.remove();
    chart = null;
  }
  if (chart) {
    chart.data.datasets[0].data = data;
    chart.update('none');
    return;
  }
  const box = element('div', null, 'plot');
  const canvas = element('canvas');
  canvas.dataset.field = series.name;
  box.appendChild(canvas);
  document.getElementById('plots').appendChild(box);
  page.charts[series.name] = new Chart(canvas, {
    type: 'line',
    data: {datasets: [{label: series.name + (logScale ? ' (log)' : ''), data: data,
                       borderColor: '#2f81f7', backgroundColor: '#2f81f7',
                       pointRadius: 2, borderWidth: 1.5}]},
    options: {
      animation: false, maintainAspectRatio: false, normalized: true,
      scales: {
        x: {type: 'linear', title: {display: true, text: 'step'}},
        y: logScale ? {type: 'logarithmic',
                       ticks: {callback: (value) => Number(value).toExponential(0)}}
                    : {type: 'linear'},
      },
    },
  });
}

function renderJob(detail) {
  if (detail.id !== page.selected) return;
  document.getElementById('detail').hidden = false;
  document.getElementById('detail-job').textContent = detail.job;
  const state = document.getElementById('detail-state');
  state.textContent = detail.state;
  state.className = 'state-' + detail.state;
  const names = new Set(detail.series.map((series) => series.name));
  for (const name of Object.keys(page.charts)) {
    if (!names.has(name)) {
      page.charts[name].canvas.parentNode.remove();
      page.charts[name].destroy();
      delete page.charts[name];
    }
  }
  detail.series.forEach(renderPlot);
  const body = document.querySelector('#reports tbody');
  body.replaceChildren(...detail.reports.slice().reverse().map((report) => {
    const row = element('tr');
    row.appendChild(element('td', report.time));
    row.appendChild(element('td', report.type));
    row.appendChild(element('td', fieldsText(report.fields)));
    return row;
  }));
}

function clearDetail() {
  for (const name of Object.keys(page.charts)) {
    page.charts[name].destroy();
    delete page.charts[name];
  }
  document.getElementById('plots').replaceChildren();
  document.querySelector('#reports tbody').replaceChildren();
}

function select(id, label) {
  if (page.selected === id) return;
  page.selected = id;
  page.selectedLabel = label;
  clearDetail();
  for (const row of document.querySelectorAll('#jobs tbody tr'))
    row.classList.toggle('selected', Number(row.dataset.id) === id);
  listen();
}

function listen() {
  if (page.events) page.events.close();
  const live = document.getElementById('live');
  const source = new EventSource('/events' + (page.selected ? '?job=' + page.selected : ''));
  page.events = source;
  source.addEventListener('open', () => {
    live.textContent = 'live';
    live.className = 'online';
  });
  source.addEventListener('error', () => {
    live.textContent = 'reconnecting';
    live.className = 'offline';
  });
  source.addEventListener('table', (event) => {
    page.tableEvents += 1;
    renderTable(JSON.parse(event.data));
  });
  source.addEventListener('job', (event) => renderJob(JSON.parse(event.data)));
}

function askKill(id, label) {
  page.killTarget = id;
  document.getElementById('kill-job').textContent = label;
  document.getElementById('kill-panel').hidden = false;
  document.getElementById('token').focus();
}

async function sendKill(event) {
  event.preventDefault();
  const result = document.getElementById('kill-result');
  const body = new URLSearchParams({job: page.killTarget,
                                    token: document.getElementById('token').value});
  try {
    const response = await fetch('/api/kill', {method: 'POST', body: body});
    const answer = await response.json();
    result.textContent = answer.ok || answer.error;
    result.className = response.ok ? 'accepted' : 'refused';
    if (response.ok) document.getElementById('kill-panel').hidden = true;
  } catch (failure) {
    result.textContent = 'the monitor did not answer: ' + failure;
    result.className = 'refused';
  }
}

document.getElementById('kill-panel').addEventListener('submit', sendKill);
document.getElementById('kill-cancel').addEventListener('click', () => {
  document.getElementById('kill-panel').hidden = true;
});
listen();
