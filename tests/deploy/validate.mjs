// SPDX-License-Identifier: Apache-2.0
//
//   node validate.mjs FILE.yaml...
//   node validate.mjs --broken FILE.yaml
//   node validate.mjs --variants VERSION NAME=FILE.yaml...
//
// Checks every document of the Kubernetes manifests offline: against
// Kubernetes' own schemas (the kubernetes-models package bundles them), and
// against the rules these manifests promise: every container, init containers
// included, is unprivileged, cannot escalate, drops every capability, runs
// under the runtime's default seccomp profile with a read-only root
// filesystem; the pod has no service account token and no host namespaces;
// and the only mount that is not read-only is the host's features.d. The
// schemas say nothing about those.
//
// With --broken, each row of a table of faults is put into a copy of the
// file's first pod-holding document, and each must be refused: a check that
// passes everything would otherwise go unnoticed.
//
// With --variants, each file is what kubectl rendered from the variant NAME
// (deploy/kubernetes/NAME): its DaemonSet must run on exactly the nodes of
// the table below that have NAME's GPU, reach the GPU the way NAME's row
// says, and keep the release's image. Each variant's rows must also refuse
// every other variant's file, so that no row passes whatever it is given.
import { readFileSync } from 'node:fs';
import * as yaml from 'js-yaml';
import { DaemonSet } from 'kubernetes-models/apps/v1';
import { Job } from 'kubernetes-models/batch/v1';

const featuresDir = '/etc/kubernetes/node-feature-discovery/features.d';
const models = { 'apps/v1 DaemonSet': DaemonSet, 'batch/v1 Job': Job };
// The pod a DaemonSet or a Job runs: the one place its path is spelt out.
const podOf = (doc) => doc?.spec?.template?.spec;

// The problems of one document, as lines; none when it is fine.
function problems(doc) {
  const model = models[`${doc?.apiVersion} ${doc?.kind}`];
  if (!model) {
    return [`unexpected kind: ${doc?.apiVersion} ${doc?.kind}`];
  }
  const found = [];
  try {
    new model(doc).validate();
  } catch (error) {
    found.push(`schema: ${error.message}`);
  }
  // The API server refuses a selector that its own pods do not match; the
  // schemas do not see that.
  const podLabels = doc?.spec?.template?.metadata?.labels ?? {};
  for (const [key, value] of Object.entries(doc?.spec?.selector?.matchLabels ?? {})) {
    if (podLabels[key] !== value) found.push(`selector: ${key}=${value} is not a label of the pod template`);
  }
  const pod = podOf(doc) ?? {};
  if (pod.automountServiceAccountToken !== false) {
    found.push('pod: automountServiceAccountToken is not false');
  }
  for (const field of ['hostNetwork', 'hostPID', 'hostIPC']) {
    if (pod[field]) {
      found.push(`pod: ${field} is set`);
    }
  }
  const volumes = new Map((pod.volumes ?? []).map((v) => [v.name, v]));
  const containers = [...(pod.initContainers ?? []), ...(pod.containers ?? [])];
  if (containers.length === 0) {
    found.push('pod: no containers');
  }
  for (const c of containers) {
    const where = `container ${c.name}`;
    const s = c.securityContext ?? {};
    if (s.privileged !== false) found.push(`${where}: privileged is not false`);
    if (s.allowPrivilegeEscalation !== false) found.push(`${where}: allowPrivilegeEscalation is not false`);
    if (s.readOnlyRootFilesystem !== true) found.push(`${where}: readOnlyRootFilesystem is not true`);
    if (s.seccompProfile?.type !== 'RuntimeDefault') found.push(`${where}: seccompProfile is not RuntimeDefault`);
    const drop = s.capabilities?.drop ?? [];
    if (drop.length !== 1 || drop[0] !== 'ALL') found.push(`${where}: capabilities.drop is not [ALL]`);
    if ((s.capabilities?.add ?? []).length !== 0) found.push(`${where}: capabilities are added`);
    for (const m of c.volumeMounts ?? []) {
      if (m.readOnly === true) continue;
      const v = volumes.get(m.name);
      if (v?.hostPath?.path !== featuresDir || m.mountPath !== featuresDir || m.subPath) {
        found.push(`${where}: writable mount ${m.name} at ${m.mountPath} is not the host's features.d`);
      }
    }
  }
  return found;
}

function documents(file) {
  return yaml.loadAll(readFileSync(file, 'utf8')).filter((d) => d !== null && d !== undefined);
}

const first = (pod) => [...(pod.initContainers ?? []), ...pod.containers][0];

// Faults that each check must catch, one a row: a name and what it does to
// the document.
const faults = [
  ['schema: unknown restartPolicy', (d) => { podOf(d).restartPolicy = 'Sometimes'; }],
  ['schema: args not a list', (d) => { first(podOf(d)).args = '--timeout 60'; }],
  ['schema: container without a name', (d) => { delete first(podOf(d)).name; }],
  ['privileged', (d) => { first(podOf(d)).securityContext.privileged = true; }],
  ['privileged left out', (d) => { delete first(podOf(d)).securityContext.privileged; }],
  ['escalation allowed', (d) => { first(podOf(d)).securityContext.allowPrivilegeEscalation = true; }],
  ['writable root', (d) => { first(podOf(d)).securityContext.readOnlyRootFilesystem = false; }],
  ['no securityContext', (d) => { delete first(podOf(d)).securityContext; }],
  ['seccomp unconfined', (d) => { first(podOf(d)).securityContext.seccompProfile.type = 'Unconfined'; }],
  ['capabilities kept', (d) => { first(podOf(d)).securityContext.capabilities.drop = ['NET_RAW']; }],
  ['capability added', (d) => { first(podOf(d)).securityContext.capabilities.add = ['SYS_ADMIN']; }],
  ['last container unchecked', (d) => {
    const list = podOf(d).containers;
    list[list.length - 1].securityContext.privileged = true;
  }],
  ['writable /tmp', (d) => {
    const pod = podOf(d);
    pod.volumes.push({ name: 'tmp', emptyDir: {} });
    first(pod).volumeMounts.push({ name: 'tmp', mountPath: '/tmp' });
  }],
  ['features.d elsewhere', (d) => { first(podOf(d)).volumeMounts[0].mountPath = '/features'; }],
  ['host root', (d) => { podOf(d).volumes[0].hostPath.path = '/'; }],
  ['token mounted', (d) => { podOf(d).automountServiceAccountToken = true; }],
  ['host network', (d) => { podOf(d).hostNetwork = true; }],
  ['unknown kind', (d) => { d.kind = 'Pod'; }],
  ['selector not the pods\' labels', (d) => {
    d.spec.selector = { matchLabels: { 'app.kubernetes.io/instance': 'elsewhere' } };
  }],
];

// Whether the scheduler puts POD on a node with these LABELS and TAINTS:
// nodeSelector, required node affinity and tolerations, as Kubernetes reads
// them. An operator these manifests do not use is an error, not a guess.
function expressionHolds({ key, operator, values = [] }, labels) {
  switch (operator) {
    case 'In': return key in labels && values.includes(labels[key]);
    case 'NotIn': return !(key in labels) || !values.includes(labels[key]);
    case 'Exists': return key in labels;
    case 'DoesNotExist': return !(key in labels);
    default: throw new Error(`node affinity operator ${operator} is not understood here`);
  }
}
function tolerated(taint, tolerations) {
  return tolerations.some((t) => (!t.effect || t.effect === taint.effect) &&
    (t.operator === 'Exists' ? !t.key || t.key === taint.key : t.key === taint.key && (t.value ?? '') === taint.value));
}
function schedules(pod, labels, taints) {
  if (!Object.entries(pod.nodeSelector ?? {}).every(([k, v]) => labels[k] === v)) return false;
  const terms = pod.affinity?.nodeAffinity?.requiredDuringSchedulingIgnoredDuringExecution?.nodeSelectorTerms;
  if (terms) {
    if (terms.some((t) => t.matchFields)) throw new Error('matchFields is not understood here');
    // A term without expressions matches no node.
    if (!terms.some((t) => (t.matchExpressions ?? []).length > 0 &&
      t.matchExpressions.every((e) => expressionHolds(e, labels)))) return false;
  }
  return taints.every((t) => t.effect === 'PreferNoSchedule' || tolerated(t, pod.tolerations ?? []));
}

// The nodes every variant is scheduled against, each with the one variant
// that must run there (null: none). Labels as Node Feature Discovery spells
// them by default (pci-<class>_<vendor>), as NVIDIA's NFD settings spell
// them (pci-<vendor>), and as the makers' own labellers set them. Each node
// is amd64 unless it says otherwise, and GPU nodes carry their maker's taint.
const nfd = (name) => `feature.node.kubernetes.io/${name}`;
const nodes = [
  ['NVIDIA display GPU', [nfd('pci-0300_10de.present')], 'nvidia'],
  ['NVIDIA data-centre GPU (3D controller)', [nfd('pci-0302_10de.present')], 'nvidia'],
  ['NVIDIA, under NVIDIA\'s NFD settings', [nfd('pci-10de.present')], 'nvidia'],
  ['NVIDIA, labelled by its GPU feature discovery', ['nvidia.com/gpu.present'], 'nvidia'],
  ['Intel display GPU', [nfd('pci-0300_8086.present')], 'intel'],
  ['Intel display controller', [nfd('pci-0380_8086.present')], 'intel'],
  ['Intel, labelled by Intel\'s NFD rules', ['intel.feature.node.kubernetes.io/gpu'], 'intel'],
  ['AMD display GPU', [nfd('pci-0300_1002.present')], 'amd'],
  ['AMD display controller', [nfd('pci-0380_1002.present')], 'amd'],
  ['AMD processing accelerator', [nfd('pci-1200_1002.present')], 'amd'],
  ['AMD, labelled by AMD\'s GPU operator', [nfd('amd-gpu')], 'amd'],
  ['AMD virtual function, labelled by AMD\'s GPU operator', [nfd('amd-vgpu')], 'amd'],
  ['Intel processor graphics and an NVIDIA GPU', [nfd('pci-0300_8086.present'), nfd('pci-0302_10de.present')], 'nvidia'],
  ['Intel processor graphics and an AMD GPU', [nfd('pci-0300_8086.present'), nfd('pci-0300_1002.present')], 'amd'],
  ['AMD and NVIDIA GPUs', [nfd('pci-1200_1002.present'), nfd('pci-0302_10de.present')], 'nvidia'],
  ['a server\'s own display chip only', [nfd('pci-0300_1a03.present')], null],
  ['an Intel FPGA (processing accelerator)', [nfd('pci-1200_8086.present')], null],
  ['no GPU at all', [], null],
  ['arm64 with an NVIDIA GPU (the image is amd64 only)', [nfd('pci-0302_10de.present')], null, 'arm64'],
];
// How each variant reaches its GPU: the image that holds its driver, the
// runtime class, and the one device-plugin resource each container requests
// (none: no GPU is held). `taint` is the taint its GPU nodes carry.
const variants = {
  nvidia: { image: 'corvane', runtimeClassName: 'nvidia', resource: null, taint: 'nvidia.com/gpu',
    env: { NVIDIA_VISIBLE_DEVICES: 'all' } },
  intel: { image: 'corvane-intel', runtimeClassName: undefined, resource: 'gpu.intel.com/i915',
    taint: 'gpu.intel.com/i915', env: {} },
  amd: { image: 'corvane-rocm', runtimeClassName: undefined, resource: 'amd.com/gpu', taint: 'amd.com/gpu', env: {} },
};
const ordinary = new Set(['cpu', 'memory', 'ephemeral-storage']);

// The ways in which a rendered FILE differs from variant NAME's rows.
function variantProblems(name, file, version) {
  const want = variants[name];
  const found = [];
  const docs = documents(file);
  const ds = docs.filter((d) => d?.kind === 'DaemonSet');
  if (docs.length !== 1 || ds.length !== 1) return [`${docs.length} documents, not the one DaemonSet`];
  const [doc] = ds;
  const pod = podOf(doc) ?? {};
  if (doc.metadata?.name !== `corvane-node-labels-${name}`) found.push(`named ${doc.metadata?.name}`);
  const instance = doc.spec?.selector?.matchLabels?.['app.kubernetes.io/instance'];
  if (instance !== `corvane-node-labels-${name}`) found.push(`selector's instance label is ${instance}`);
  if (pod.runtimeClassName !== want.runtimeClassName) found.push(`runtimeClassName is ${pod.runtimeClassName}`);
  for (const c of [...(pod.initContainers ?? []), ...(pod.containers ?? [])]) {
    const image = `localhost/${want.image}:${version}`;
    if (c.image !== image) found.push(`container ${c.name}: image ${c.image}, not ${image}`);
    const held = {};
    for (const part of ['requests', 'limits']) {
      for (const [r, q] of Object.entries(c.resources?.[part] ?? {})) {
        if (!ordinary.has(r)) held[`${part} ${r}`] = String(q);
      }
    }
    const wanted = want.resource ? { [`limits ${want.resource}`]: '1' } : {};
    if (JSON.stringify(held) !== JSON.stringify(wanted)) {
      found.push(`container ${c.name}: holds ${JSON.stringify(held)}, not ${JSON.stringify(wanted)}`);
    }
    for (const [k, v] of Object.entries(want.env)) {
      if (!(c.env ?? []).some((e) => e.name === k && e.value === v)) found.push(`container ${c.name}: no ${k}=${v}`);
    }
  }
  for (const [what, present, runsOn, arch = 'amd64'] of nodes) {
    const labels = Object.fromEntries(present.map((k) => [k, 'true']));
    labels['kubernetes.io/arch'] = arch;
    const taints = runsOn ? [{ key: variants[runsOn].taint, value: 'present', effect: 'NoSchedule' }] : [];
    if (schedules(pod, labels, taints) !== (runsOn === name)) {
      found.push(`node with ${what}: ${runsOn === name ? 'not scheduled there' : 'scheduled there'}`);
    }
  }
  return found;
}

const args = process.argv.slice(2);
let failed = 0;
if (args[0] === '--variants') {
  const [, version, ...pairs] = args;
  const files = Object.fromEntries(pairs.map((p) => p.split(/=(.*)/s).slice(0, 2)));
  const names = Object.keys(variants);
  if (JSON.stringify(Object.keys(files).sort()) !== JSON.stringify([...names].sort())) {
    console.error(`FAIL: variants given: ${Object.keys(files).join(' ')}; the rows are for: ${names.join(' ')}`);
    process.exit(1);
  }
  for (const name of names) {
    for (const p of variantProblems(name, files[name], version)) {
      console.error(`FAIL: ${name}: ${p}`);
      failed++;
    }
    for (const other of names.filter((n) => n !== name)) {
      if (variantProblems(name, files[other], version).length === 0) {
        console.error(`FAIL: ${name}'s rows pass the ${other} variant too`);
        failed++;
      }
    }
    console.log(`${name}: ${nodes.length} nodes and the way to the GPU checked; the other variants refused`);
  }
} else if (args[0] === '--broken') {
  const base = documents(args[1]).find((d) => podOf(d));
  if (!base || problems(base).length !== 0) {
    console.error(`FAIL: ${args[1]}: no clean document with a pod to break`);
    process.exit(1);
  }
  for (const [name, fault] of faults) {
    const doc = structuredClone(base);
    fault(doc);
    if (problems(doc).length === 0) {
      console.error(`FAIL: ${args[1]}: the fault "${name}" passed the checks`);
      failed++;
    }
  }
  console.log(`${args[1]}: ${faults.length - failed} of ${faults.length} faults refused`);
} else {
  for (const file of args) {
    const docs = documents(file);
    if (docs.length === 0) {
      console.error(`FAIL: ${file}: no documents`);
      failed++;
    }
    for (const doc of docs) {
      for (const p of problems(doc)) {
        console.error(`FAIL: ${file}: ${doc?.kind} ${doc?.metadata?.name}: ${p}`);
        failed++;
      }
    }
    console.log(`${file}: ${docs.length} document(s) checked`);
  }
}
process.exit(failed === 0 ? 0 : 1);
