<?php
namespace Shop;

final class Price
{
    public static function format(int $cents): string
    {
        return sprintf('%d.%02d EUR', intdiv($cents, 100), $cents % 100);
    }
}

final class Cart
{
    private array $lines = [];

    public function add(string $item, int $cents, int $count = 1): void
    {
        $this->lines[] = [$item, $cents, $count];
    }

    public function total(): int
    {
        $sum = 0;
        foreach ($this->lines as [, $cents, $count]) {
            $sum += $cents * $count;
        }
        return $sum;
    }
}

final class Report
{
    public function build(Cart $cart): string
    {
        return $this->render($cart->total());
    }

    private function render(int $total): string
    {
        if ($total > 1000) {
            // A real warning raised three user frames deep: Report->build, Report->render.
            $missing = [];
            $total += $missing['discount'];
        }
        return 'total ' . Price::format($total);
    }
}

function recurse(int $depth): int
{
    if ($depth === 0) {
        trigger_error('bottom of the recursion', E_USER_WARNING);
        return 0;
    }
    return 1 + recurse($depth - 1);
}
