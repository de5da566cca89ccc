// SPDX-License-Identifier: Apache-2.0
//
//   node validate.mjs FILE.yaml...
//   node validate.mjs --broken FILE.yaml
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
];

const args = process.argv.slice(2);
let failed = 0;
if (args[0] === '--broken') {
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
