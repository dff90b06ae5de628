<?php
// The shop's database class: every statement of the shop goes through here, as a CMS's
// database layer does, so each query is run from this file and its caller is further out.
class ShopDb {
    private PDO $pdo;

    public function __construct() {
        $this->pdo = new PDO('sqlite::memory:');
        $this->pdo->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
        // A query made slow on purpose: pause(ms) sleeps that long in the database.
        $this->pdo->sqliteCreateFunction('pause', function (int $ms): int {
            usleep($ms * 1000);
            return $ms;
        }, 1);
    }

    public function run(string $sql): PDOStatement|false {
        return $this->pdo->query($sql);
    }

    // The first row of a prepared statement run with $values.
    public function fetch(string $sql, array $values): array|false {
        $statement = $this->pdo->prepare($sql);
        $statement->execute($values);
        return $statement->fetch(PDO::FETCH_ASSOC);
    }
}
