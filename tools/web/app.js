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

function progressCell(job) {
  const cell = element('td', null, 'progress');
  const bar = element('span', null, 'bar');
  const fill = element('span');
  fill.style.width = (job.percent === null ? 0 : Math.min(100, job.percent)) + '%';
  bar.appendChild(fill);
  cell.appendChild(bar);
  cell.appendChild(element('span', job.progress, 'progress-text'));
  return cell;
}

function renderTable(table) {
  page.table = table;
  document.getElementById('title').textContent = table.title || '';
  document.getElementById('counts').textContent = table.counts || '';
  const body = document.querySelector('#jobs tbody');
  const rows = document.createDocumentFragment();
  for (const job of table.jobs) {
    const row = element('tr');
    row.dataset.job = job.job;
    row.dataset.id = job.id;
    if (job.id === page.selected) row.classList.add('selected');
    row.appendChild(element('td', job.job, 'job'));
    row.appendChild(element('td', job.state, 'state state-' + job.state));
    row.appendChild(element('td', job.phase, 'phase'));
    row.appendChild(progressCell(job));
    row.appendChild(element('td', job.rate, 'rate'));
    row.appendChild(element('td', job.eta, 'eta'));
    row.appendChild(element('td', job.elapsed, 'elapsed'));
    row.appendChild(element('td', job.last, 'last'));
    row.appendChild(element('td', job.errors, job.errors > 0 ? 'errors' : ''));
    row.appendChild(element('td', job.warnings, job.warnings > 0 ? 'warnings' : ''));
    row.appendChild(element('td', job.final || job.message, 'message'));
    const action = element('td');
    if (job.connected && ['running', 'silent'].includes(job.state)) {
      const button = element('button', 'Kill', 'kill');
      button.type = 'button';
      button.addEventListener('click', (event) => {
        event.stopPropagation();
        askKill(job.job);
      });
      action.appendChild(button);
    }
    row.appendChild(action);
    row.addEventListener('click', () => select(job.id, job.job));
    rows.appendChild(row);
  }
  body.replaceChildren(rows);
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
        y: {type: logScale ? 'logarithmic' : 'linear'},
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

function askKill(label) {
  page.killTarget = label;
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
