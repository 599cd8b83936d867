// The five argument-only checks of bench-argument-rules.conf as SQL over the same CSV file,
// written as txhost writes its results: the id and a 0 or 1 per check.
//
//   node five_checks.mjs TRANSACTIONS.csv RESULTS.csv
import { DuckDBInstance } from '@duckdb/node-api';

const [transactions, results] = process.argv.slice(2);
const quoted = (path) => `'${path.replaceAll("'", "''")}'`;
const flag = (condition) => `CAST(${condition} AS INTEGER)`;
// Amounts are single-precision floats, as the rules take them; SHARPINCREASE subtracts them
// widened to double.
const amount = (column) => `CAST(CAST(${column} AS FLOAT) AS DOUBLE)`;
const sql = `
  COPY (
    SELECT id,
      ${flag(`${amount('amount')} - ${amount('previous_amount')} >= 400`)} AS sharp_increase,
      ${flag(`${amount('amount')} > ${amount('credit_limit')}`)} AS over_limit,
      ${flag(`account = 'ACC-6661'`)} AS bad_account,
      ${flag(`"user" = 'svc-batch' AND terminal <> registered_terminal`)} AS batch_user_moved,
      ${flag(`billing_zip = shipping_zip AND channel <> 'Internet'`)} AS same_zip_offline
    FROM read_csv(${quoted(transactions)}, header = true, all_varchar = true)
  ) TO ${quoted(results)} (HEADER, DELIMITER ',')`;

const instance = await DuckDBInstance.create(':memory:');
const connection = await instance.connect();
await connection.run(sql);
