// Draws the screening report from the summary embedded in the page. Every text from the input is
// set with textContent, never as markup.
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("summary").textContent);
  const root = document.getElementById("report");
  let expected = 0;
  let drawn = 0;

  function element(tag, text, parent) {
    const node = document.createElement(tag);
    if (text !== undefined) node.textContent = String(text);
    if (parent) parent.appendChild(node);
    return node;
  }
  function percent(value) {
    return value === null || value === undefined ? "–" : (100 * value).toFixed(1) + "%";
  }
  function table(parent, headers, rows) {
    const t = element("table", undefined, parent);
    const head = element("tr", undefined, element("thead", undefined, t));
    headers.forEach((h) => element("th", h, head));
    const body = element("tbody", undefined, t);
    rows.forEach((row) => {
      const tr = element("tr", undefined, body);
      row.forEach((cell) => element("td", cell, tr));
    });
    return t;
  }
  // Each chart says once that it has drawn; the page counts them for whoever checks it.
  Chart.register({
    id: "drawn",
    afterRender(chart) {
      if (chart.$drawn) return;
      chart.$drawn = true;
      drawn += 1;
      document.body.dataset.chartsDrawn = String(drawn);
    },
  });
  Chart.defaults.animation = false;
  Chart.defaults.maintainAspectRatio = false;
  const palette = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
                   "#7f7f7f", "#bcbd22", "#17becf"];
  // `height` in pixels, for a chart whose bars need more room than the usual box gives.
  function chart(parent, config, height) {
    expected += 1;
    config.data.datasets.forEach((set, i) => {
      const color = palette[i % palette.length];
      set.borderColor = set.borderColor || color;
      set.backgroundColor = set.backgroundColor || color + "99";
    });
    const box = element("div", undefined, parent);
    box.className = "chart";
    if (height) box.style.height = height + "px";
    new Chart(element("canvas", undefined, box), config);
  }
  const labels = data.checks.map((c) => c.label);
  // How much the charts and tables of a report of hundreds of checks show.
  const CHART_CHECKS = 40, DAY_LINES = 10, TOGETHER_PAIRS = 50;

  function runSection() {
    element("h2", "The run", root);
    const rate = Math.round(data.rows_per_second).toLocaleString("en");
    table(root, ["", ""], [
      ["input", data.input],
      ["rule set", data.rules],
      ["rows read", data.rows_read],
      ["screened", data.rows_screened],
      ["rejected", data.rows_rejected],
      ["alerts", data.alerts],
      ["rows on a lost session", data.rows_on_lost_session],
      ["workers", data.workers],
      ["time", data.seconds.toFixed(3) + " s (" + rate + " rows/s)"],
    ]);
    const reasons = Object.entries(data.rejects_by_reason);
    if (reasons.length > 0) {
      element("h3", "Rejected rows by reason", root);
      table(root, ["reason", "rows"], reasons);
    }
    if (data.first_alerts.length > 0) {
      element("h3", "The first alerts", root);
      table(root, ["id", "line", "check", "rule", "text"],
            data.first_alerts.map((a) => [a.id, a.line, a.label, a.rule, a.text]));
    }
  }

  function checksSection() {
    element("h2", "Checks", root);
    const headers = ["check", "rule", "hits", "rate", "alerts"];
    if (data.backtest) headers.push("TP", "FP", "FN", "precision", "recall");
    table(root, headers, data.checks.map((c) => {
      const row = [c.label, c.rule, c.hits, percent(c.rate), c.alerts];
      if (data.backtest) {
        row.push(c.true_positives, c.false_positives, c.false_negatives, percent(c.precision),
                 percent(c.recall));
      }
      return row;
    }));
    // Bars stay readable: with many checks, those with the most hits, the rest in the table.
    const shown = mostHits(data.checks, CHART_CHECKS);
    if (shown.length < data.checks.length) {
      element("p", "The chart shows the " + shown.length + " checks with the most hits of " +
              data.checks.length + ".", root).className = "muted";
    }
    const datasets = [{ label: "hits", data: shown.map((c) => c.hits), xAxisID: "hits" }];
    const scales = { hits: { position: "top", title: { display: true, text: "hits" } } };
    if (data.backtest) {
      datasets.push({ label: "precision", data: shown.map((c) => c.precision), xAxisID: "ratio" },
                    { label: "recall", data: shown.map((c) => c.recall), xAxisID: "ratio" });
      scales.ratio = { position: "bottom", min: 0, max: 1, grid: { drawOnChartArea: false } };
    }
    chart(root, { type: "bar", data: { labels: shown.map((c) => c.label), datasets },
                  options: { indexAxis: "y", scales } },
          Math.max(240, 22 * shown.length * datasets.length));
  }

  // The `most` checks with the most hits, in the rule set's order.
  function mostHits(checks, most) {
    const ranked = checks.map((c, i) => [c.hits, -i]).sort((a, b) => b[0] - a[0] || b[1] - a[1]);
    const kept = new Set(ranked.slice(0, most).map((r) => -r[1]));
    return checks.filter((c, i) => kept.has(i));
  }

  function daysSection() {
    const days = Object.keys(data.hits_by_day || {}).sort();
    if (days.length === 0) return;
    element("h2", "Hits per day", root);
    chart(root, {
      type: "line",
      data: {
        labels: days,
        // A line per check for the few with the most hits, so that each can be told apart.
        datasets: mostHits(data.checks, DAY_LINES).map((c) => ({
          label: c.label, data: days.map((d) => data.hits_by_day[d][labels.indexOf(c.label)]),
          tension: 0.2,
        })),
      },
    });
  }

  function togetherSection() {
    element("h2", "Checks that fire together", root);
    element("p", "For each pair of checks, the rows on which both fired.", root).className = "muted";
    const pairs = data.fired_together.filter((p) => p.rows > 0).sort((a, b) => b.rows - a.rows);
    if (!data.fired_together_complete) {
      element("p", "Rows on which more than 64 checks fired, and pairs past the first 100,000, " +
              "are not counted here.", root).className = "muted";
    }
    if (pairs.length > TOGETHER_PAIRS) {
      element("p", "The " + TOGETHER_PAIRS + " pairs that fired together most, of " +
              pairs.length + "; the summary has them all.", root).className = "muted";
    }
    table(root, ["check", "with", "rows"],
          pairs.slice(0, TOGETHER_PAIRS).map((p) => [p.checks[0], p.checks[1], p.rows]));
  }

  function listSection(check) {
    const list = check.list;
    element("h2", "List of " + check.label + " (" + list.name + ")", root);
    element("p", list.values + " values; " + list.values_that_fired + " fired on " + check.hits +
            " rows. The values that fired most:", root).className = "muted";
    table(root, ["value", "hits"], list.top_values.map((v) => [v.value, v.hits]));
  }

  function sweepSection(check) {
    const sweep = check.sweep;
    element("h2", "Sweep of " + check.label + " (" + check.rule + ", argument " + sweep.argument +
            ", now " + sweep.current + ")", root);
    const values = sweep.values.map((v) => v.value);
    const current = { label: "now: " + sweep.current, pointRadius: 7, pointStyle: "rectRot",
                      showLine: false, backgroundColor: "#d33", borderColor: "#d33" };
    if (!data.backtest) {
      chart(root, { type: "line", data: { labels: values, datasets: [
        { label: "hits", data: sweep.values.map((v) => v.hits) }] } });
      return;
    }
    chart(root, {
      type: "line",
      data: {
        labels: values,
        datasets: [
          { label: "precision", data: sweep.values.map((v) => v.precision) },
          { label: "recall", data: sweep.values.map((v) => v.recall) },
          Object.assign({}, current, {
            data: values.map((v, i) => (i === sweep.current_index ? check.precision : null)),
          }),
        ],
      },
      options: { scales: { y: { min: 0, max: 1 }, x: { title: { display: true, text: "value" } } } },
    });
    chart(root, {
      type: "scatter",
      data: {
        datasets: [
          { label: "precision against recall", showLine: true,
            data: sweep.values.filter((v) => v.precision !== null)
                .map((v) => ({ x: v.recall, y: v.precision })) },
          Object.assign({}, current, { data: [{ x: check.recall, y: check.precision }] }),
        ],
      },
      options: { scales: { x: { min: 0, max: 1, title: { display: true, text: "recall" } },
                           y: { min: 0, max: 1, title: { display: true, text: "precision" } } } },
    });
  }

  // A draft against the live rule set: where they decide differently, and what that does.
  function comparisonSection(c) {
    element("h2", "Against the live rule set", root);
    element("p", "Live: " + c.baseline + ". " + c.rule[0].toUpperCase() + c.rule.slice(1) + ".", root);
    table(root, ["rows stopped", "rows"], [
      ["by both", c.rows.both], ["by the live set only", c.rows.live_only],
      ["by the draft only", c.rows.draft_only], ["by neither", c.rows.neither]]);
    if (c.backtest) {
      const b = c.backtest;
      chart(root, {
        type: "bar",
        data: {
          labels: ["fraud newly caught", "fraud newly missed", "false alarms added",
                   "false alarms removed"],
          datasets: [{ label: "rows", data: [b.fraud_newly_caught, b.fraud_newly_missed,
                                             b.false_alarms_added, b.false_alarms_removed] }],
        },
      });
      table(root, ["", "precision", "recall", "TP", "FP", "FN"], [["draft", b.draft], ["live", b.live]]
        .map(([name, s]) => [name, percent(s.precision), percent(s.recall), s.true_positives,
                             s.false_positives, s.false_negatives]));
    }
    // Live outcomes down, the draft's across: how the draft moves each row's decision.
    const live = [...new Set(c.outcomes.map((p) => p.live))];
    const draft = [...new Set(c.outcomes.map((p) => p.draft))];
    const rows = (l, d) =>
      (c.outcomes.find((p) => p.live === l && p.draft === d) || { rows: 0 }).rows;
    table(root, ["live \\ draft"].concat(draft),
          live.map((l) => [l].concat(draft.map((d) => rows(l, d)))));
    table(root, ["checks", "labels"], [
      ["added", c.checks.added.join(", ") || "none"],
      ["removed", c.checks.removed.join(", ") || "none"],
      ["changed", c.checks.changed.join(", ") || "none"],
      ["outcome lines", c.checks.outcomes_changed ? "changed" : "the same"]]);
    if (c.checks.list_changes.length) {
      table(root, ["list of", "values added", "values removed"],
            c.checks.list_changes.map((l) => [l.label, l.values_added, l.values_removed]));
    }
    if (c.first_changes.length > 0) {
      element("p", "The first rows decided differently:", root);
      table(root, ["id", "line", "flagged by", "draft's checks that fired", "live checks that fired",
                   "live outcome", "draft outcome"],
            c.first_changes.map((r) => [r.id, r.line, r.flagged_by, r.draft_checks.join(", "),
                                        r.live_checks.join(", "), r.live_outcome, r.draft_outcome]));
    }
  }

  // What a rule set that scores decided: rows per outcome, how the scores of fraud and genuine
  // rows separate, and for a swept threshold what stopping from each value would do.
  function decisionsSection() {
    element("h2", "Decisions", root);
    if (data.outcomes) {
      const headers = ["outcome", "from", "rows"];
      if (data.backtest) headers.push("fraud", "genuine");
      table(root, headers, data.outcomes.map((o) => {
        const row = [o.name, o.from === null ? "below every threshold" : o.from, o.rows];
        if (data.backtest) row.push(o.fraud, o.genuine);
        return row;
      }));
      const d = data.decisions;
      const stopped = [["stopped (outcome not " + data.outcomes[0].name + ")", d.stopped]];
      if (data.backtest) {
        stopped.push(["TP, FP, FN", [d.true_positives, d.false_positives, d.false_negatives]
          .join(", ")], ["precision", percent(d.precision)], ["recall", percent(d.recall)]);
      }
      table(root, ["", ""], stopped);
    }
    const scores = data.score_distribution.map((s) => s.score);
    const datasets = data.backtest
      ? [{ label: "fraud", data: data.score_distribution.map((s) => s.fraud) },
         { label: "genuine", data: data.score_distribution.map((s) => s.genuine) }]
      : [{ label: "rows", data: data.score_distribution.map((s) => s.rows) }];
    element("h3", "Rows by score", root);
    chart(root, { type: "bar", data: { labels: scores, datasets },
                  options: { scales: { x: { title: { display: true, text: "score" } } } } });
    (data.outcomes || []).filter((o) => o.sweep).forEach(thresholdSection);
  }

  function thresholdSection(outcome) {
    const sweep = outcome.sweep;
    element("h3", "Threshold of " + outcome.name + " (now from " + sweep.current + ")", root);
    const values = sweep.values.map((v) => v.value);
    const stopped = sweep.values.map((v) => (data.rows_screened ? v.hits / data.rows_screened : null));
    const datasets = [{ label: "share of rows stopped", data: stopped }];
    if (data.backtest) {
      datasets.push({ label: "precision", data: sweep.values.map((v) => v.precision) },
                    { label: "recall", data: sweep.values.map((v) => v.recall) });
    }
    datasets.push({ label: "now: " + sweep.current, pointRadius: 7, pointStyle: "rectRot",
                    showLine: false, backgroundColor: "#d33", borderColor: "#d33",
                    data: values.map((v, i) => (i === sweep.current_index ? stopped[i] : null)) });
    chart(root, { type: "line", data: { labels: values, datasets },
                  options: { scales: { y: { min: 0, max: 1 },
                                       x: { title: { display: true, text: "threshold" } } } } });
  }

  runSection();
  if (data.comparison) comparisonSection(data.comparison);
  if (data.score_distribution) decisionsSection();
  checksSection();
  daysSection();
  togetherSection();
  data.checks.filter((c) => c.list).forEach(listSection);
  data.checks.filter((c) => c.sweep).forEach(sweepSection);
  document.body.dataset.chartsExpected = String(expected);
  // Whether the page fits its window's width, long texts from the input and all.
  const page = document.documentElement;
  document.body.dataset.fitsWidth = String(page.scrollWidth <= page.clientWidth);
})();
